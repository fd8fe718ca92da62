#pragma once

// For the end-to-end tests: child processes stopped by PID; the real backend on loopback.

#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// SIGTERM, then SIGKILL if the process has not exited in time.
inline void stopProcess(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
}

// Runs a program to completion: its standard output if it exited with 0 within a minute.
inline std::optional<QByteArray> runTool(const QString &program, const QStringList &args)
{
    QProcess tool;
    tool.start(program, args);
    tool.closeWriteChannel();
    const bool finished = tool.waitForFinished(60000);
    stopProcess(tool);
    if (!finished || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return std::nullopt;
    return tool.readAllStandardOutput();
}

class LocalBackend
{
public:
    ~LocalBackend() { stopProcess(process); }

    bool start()
    {
        const QString portFile = dir.filePath(QStringLiteral("port"));
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(dir.filePath(QStringLiteral("backend.log")));
        process.start(QStringLiteral(CORVALEN_BACKEND_EXECUTABLE),
                      {"serve", "--db", database(), "--host", "127.0.0.1", "--port", "0",
                       "--port-file", portFile});
        const auto listening = [&] {
            port = readFile(portFile).trimmed().toUShort();
            return port != 0 || process.state() == QProcess::NotRunning;
        };
        return QTest::qWaitFor(listening, 60000) && port != 0;
    }

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/v1").arg(port); }
    QByteArray log() const { return readFile(dir.filePath(QStringLiteral("backend.log"))); }

    std::optional<QByteArray> run(const QString &command, const QStringList &args) const
    {
        return runTool(QStringLiteral(CORVALEN_BACKEND_EXECUTABLE),
                       QStringList{command, "--db", database()} + args);
    }
    QString createUser(const QString &email, const QString &password) const
    {
        QFile file(dir.filePath(QStringLiteral("password")));
        if (!file.open(QIODevice::WriteOnly) || file.write(password.toUtf8() + '\n') < 0)
            return {};
        file.close();
        return QString::fromUtf8(
            run("create-user", {"--email", email, "--password-file", file.fileName()})
                .value_or("")
                .trimmed());
    }
    bool publishBundle(const QString &email, const QString &file, const QString &format) const
    {
        return run("publish-bundle", {"--email", email, "--file", file, "--format", format})
            .has_value();
    }
    // True or false as the backend stores it; undefined if the user cannot be read.
    QJsonValue updateFlag(const QString &email) const
    {
        const auto user =
            QJsonDocument::fromJson(run("show-user", {"--email", email}).value_or(""));
        return user[QStringLiteral("metadata")][QStringLiteral("rcc_update_available")];
    }

private:
    QString database() const { return dir.filePath(QStringLiteral("backend.sqlite")); }

    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
};
