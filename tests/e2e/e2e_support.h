#pragma once

#include <QByteArray>
#include <QImage>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Helpers for the end-to-end tests: the real local backend and a private X display, each a
// child process stopped by its PID, plus the pixel probes that stand in for a user's eyes.

struct ToolResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output; // stdout
    QByteArray errors; // stderr
    bool ok() const { return finished && exitCode == 0; }
};

// Runs a helper program to completion within timeoutMs (killed after that).
ToolResult runTool(const QString &program, const QStringList &args,
                   const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                   int timeoutMs = 30000);

// Names of the programs in `names` that are not on PATH, comma-separated; empty when all are.
QString missingTools(const QStringList &names);

// Stops a child process: SIGTERM, then SIGKILL if it has not exited within timeoutMs.
void stopProcess(QProcess &process, int timeoutMs = 10000);

class LocalBackend
{
public:
    explicit LocalBackend(const QString &executable);
    ~LocalBackend();
    LocalBackend(const LocalBackend &) = delete;
    LocalBackend &operator=(const LocalBackend &) = delete;

    bool start();
    void stop();
    bool isRunning() const { return process.state() != QProcess::NotRunning; }
    QString errorString() const { return error; }

    QString baseUrl() const; // http://127.0.0.1:PORT/v1
    QString logFilePath() const { return dir.filePath(QStringLiteral("backend.log")); }
    QByteArray log() const;

    // Operator commands on the same database; --db is added.
    ToolResult run(const QString &command, const QStringList &args) const;
    QString createUser(const QString &email, const QString &password) const; // the id, or empty
    bool publishBundle(const QString &email, const QString &file, const QString &format) const;
    QJsonObject showUser(const QString &email) const;
    bool updateFlag(const QString &email) const;

private:
    QString executable;
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
    QString error;
};

class VirtualDisplay
{
public:
    VirtualDisplay() = default;
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;

    bool start(const QSize &size);
    void stop();
    QString errorString() const { return error; }

    // The given environment with DISPLAY pointing here.
    QProcessEnvironment environment(QProcessEnvironment base) const;
    ToolResult xdotool(const QStringList &args, int timeoutMs = 30000) const;
    QImage screenshot() const; // the whole screen, as a user would see it

private:
    QProcess process;
    QString display;
    QString error;
};

// Pixel probes: exact colours, so antialiased edges never count.
int countPixels(const QImage &image, QRgb colour);
QRect boundingBoxOf(const QImage &image, QRgb colour);
