#include "support/local_backend.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include "support/sandbox.h"

bool LocalBackend::start(const QStringList &extraArgs)
{
    const QString portFile = filePath("port");
    QFile::remove(portFile);
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.setStandardOutputFile(filePath("server.log"));
    endWithTestProgram(server);
    server.start(executable(),
                 QStringList{"serve", "--db", dbPath(), "--port-file", portFile} + extraArgs);
    // The port file is written before the server says it listens.
    const bool up = QTest::qWaitFor(
        [&] { return log().contains("listening on") || server.state() == QProcess::NotRunning; },
        kWaitMs);
    port = up ? readFile(portFile).trimmed().toUShort() : 0;
    return port != 0;
}

bool LocalBackend::stop()
{
    server.terminate();
    const bool exited = server.waitForFinished(kWaitMs);
    return exited && server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0;
}

void LocalBackend::kill()
{
    server.kill();
    server.waitForFinished(kWaitMs);
}

QByteArray LocalBackend::log() const
{
    return readFile(filePath("server.log"));
}

QList<QUrl> LocalBackend::resetLinks() const
{
    QList<QUrl> links;
    for (const QByteArray &line : log().split('\n')) {
        const qsizetype at = line.indexOf(" password-reset mail to ");
        if (at >= 0)
            links << QUrl(QString::fromUtf8(line.mid(line.indexOf(": ", at) + 2)));
    }
    return links;
}

QString LocalBackend::executable()
{
    return QStringLiteral(CORVALEN_LOCAL_BACKEND_EXE);
}

ToolResult LocalBackend::run(const QStringList &args, const QByteArray &input) const
{
    return runTool(executable(), args, input, dir.path());
}

ToolResult LocalBackend::cli(const QString &command, const QStringList &args,
                             const QByteArray &input) const
{
    return run(QStringList{command, "--db", dbPath()} + args, input);
}

QString LocalBackend::createUser(const QString &email, const QString &password,
                                 const QStringList &args) const
{
    const ToolResult r =
        cli("create-user", QStringList{"--email", email} + args, password.toUtf8() + '\n');
    return r.ok() ? QString::fromUtf8(r.out.trimmed()) : QString();
}

bool LocalBackend::publish(const QString &email, const QByteArray &bundle,
                           const QStringList &args) const
{
    const QString file = filePath("bundle.rcc");
    return writeFile(file, bundle) &&
           cli("publish-bundle", QStringList{"--email", email, "--file", file} + args).ok();
}

QByteArray LocalBackend::createSigningKey(const QString &name) const
{
    const ToolResult r = run({"create-signing-key", "--signing-key", filePath(name)});
    return r.ok() ? r.out.trimmed() : QByteArray();
}

QJsonValue LocalBackend::updateFlag(const QString &email) const
{
    const auto user = QJsonDocument::fromJson(cli("show-user", {"--email", email}).out);
    return user["metadata"]["rcc_update_available"];
}
