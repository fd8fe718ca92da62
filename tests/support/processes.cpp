#include "support/processes.h"

#include <QDeadlineTimer>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>

namespace {
constexpr int kToolMs = 60000;
}

ToolResult runTool(const QString &program, const QStringList &args, const QByteArray &input,
                   const QString &workingDirectory)
{
    QProcess tool;
    tool.setWorkingDirectory(workingDirectory);
    endWithTestProgram(tool);
    tool.start(program, args);
    tool.write(input);
    tool.closeWriteChannel();
    ToolResult result;
    const bool exited = tool.waitForFinished(kToolMs) && tool.exitStatus() == QProcess::NormalExit;
    stopProcess(tool);
    result.exitCode = exited ? tool.exitCode() : -1;
    result.out = tool.readAllStandardOutput();
    result.err = tool.readAllStandardError();
    return result;
}

void endWithTestProgram(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

bool PrivateDisplay::start()
{
    endWithTestProgram(xvfb);
    // -displayfd: Xvfb picks a free display and prints its number once it accepts clients.
    // -noreset: otherwise the server resets whenever its last client leaves (a killed client,
    // an xdotool call), and a client that connects meanwhile is refused.
    xvfb.start("Xvfb",
               {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
    QByteArray number;
    for (QDeadlineTimer deadline(kToolMs); !number.endsWith('\n') && !deadline.hasExpired();)
        if (xvfb.waitForReadyRead(int(deadline.remainingTime())))
            number += xvfb.readAllStandardOutput();
        else if (xvfb.state() == QProcess::NotRunning)
            return false;
    if (!number.endsWith('\n'))
        return false;
    qputenv("DISPLAY", ':' + number.trimmed());
    return true;
}
