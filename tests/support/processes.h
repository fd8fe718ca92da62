#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

struct ToolResult
{
    int exitCode = -1; // -1: did not start, crashed or took longer than a minute
    QByteArray out;
    QByteArray err;

    bool ok() const { return exitCode == 0; }
};

// Runs a program to completion with this standard input.
ToolResult runTool(const QString &program, const QStringList &args, const QByteArray &input = {},
                   const QString &workingDirectory = {});

// The process gets SIGKILL when the test program ends, even when a time-out kills it.
void endWithTestProgram(QProcess &process);
// SIGTERM, then SIGKILL if it has not ended in time.
void stopProcess(QProcess &process);
// The resident set of a running process, from /proc; -1 if it cannot be read.
qint64 residentKiB(qint64 pid);

// A private X server on a display it picks itself; DISPLAY names it for this program and the
// programs it starts.
class PrivateDisplay
{
public:
    ~PrivateDisplay() { stopProcess(xvfb); }

    bool start();

private:
    QProcess xvfb;
};
