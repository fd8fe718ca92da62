#include "backend_fixture.h"

#include <QFile>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTest>

namespace {
constexpr int kStartTimeoutMs = 30000;
constexpr int kCommandTimeoutMs = 60000;
constexpr int kRequestTimeoutMs = 120000;
} // namespace

LocalBackend::LocalBackend()
{
    server.setProgram(QStringLiteral(CORVALEN_LOCAL_BACKEND_EXE));
}

LocalBackend::~LocalBackend()
{
    if (isRunning()) {
        server.kill();
        server.waitForFinished(kCommandTimeoutMs);
    }
}

bool LocalBackend::start(const QStringList &extraArgs)
{
    const QString portFile = dir.filePath(QStringLiteral("port"));
    QFile::remove(portFile);
    output.clear();
    server.setArguments(QStringList{QStringLiteral("serve"), QStringLiteral("--db"), dbPath(),
                                    QStringLiteral("--port-file"), portFile} +
                        extraArgs);
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start();
    if (!server.waitForStarted(kStartTimeoutMs))
        return false;
    QByteArray portText;
    const bool announced = QTest::qWaitFor(
        [&] {
            QFile f(portFile);
            if (f.open(QIODevice::ReadOnly))
                portText = f.readAll().trimmed();
            return !portText.isEmpty() || !isRunning();
        },
        kStartTimeoutMs);
    serverPort = portText.toUShort();
    return announced && isRunning() && serverPort != 0 &&
           QTest::qWaitFor([&] { return log().contains("listening on"); }, kStartTimeoutMs);
}

bool LocalBackend::stop()
{
    if (!isRunning())
        return false;
    server.terminate();
    if (!server.waitForFinished(kStartTimeoutMs)) {
        server.kill();
        server.waitForFinished(kStartTimeoutMs);
        return false;
    }
    log();
    return server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0;
}

QString LocalBackend::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/v1").arg(serverPort);
}

QByteArray LocalBackend::log()
{
    output += server.readAll();
    return output;
}

CliResult LocalBackend::run(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(CORVALEN_LOCAL_BACKEND_EXE), args);
    CliResult r;
    if (!p.waitForFinished(kCommandTimeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

CliResult LocalBackend::cli(const QString &command, const QStringList &args) const
{
    return run(QStringList{command, QStringLiteral("--db"), dbPath()} + args);
}

QString LocalBackend::createUser(const QString &email, const QString &password) const
{
    const CliResult r =
        cli(QStringLiteral("create-user"),
            {QStringLiteral("--email"), email, QStringLiteral("--password"), password});
    return r.exitCode == 0 ? QString::fromUtf8(r.out.trimmed()) : QString();
}

QJsonObject HttpReply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

HttpReply HttpClient::send(const QByteArray &verb, const QString &url, const QByteArray &body,
                           const QString &bearer, const QByteArray &contentType)
{
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (!body.isEmpty() || verb == "POST")
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    if (!bearer.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + bearer.toUtf8());
    QNetworkReply *reply = nam.sendCustomRequest(request, verb, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    HttpReply result;
    if (reply->isFinished() || finished.wait(kRequestTimeoutMs)) {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        for (const auto &h : reply->rawHeaderPairs())
            result.headers.insert(h.first.toLower(), h.second);
    }
    reply->deleteLater();
    return result;
}
