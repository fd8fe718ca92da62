#pragma once

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

constexpr int kWaitMs = 60000;

struct CliResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The real backend executable serving a database in a temporary directory.
class LocalBackend
{
public:
    ~LocalBackend()
    {
        server.kill();
        server.waitForFinished(kWaitMs);
    }
    QString dbPath() const { return dir.filePath("backend.db"); }
    QString filePath(const QString &name) const { return dir.filePath(name); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/v1").arg(port); }
    QByteArray log() { return output += server.readAll(); } // everything printed so far

    // Starts "serve" on a free port and waits until it listens.
    bool start(const QStringList &extraArgs = {})
    {
        output.clear();
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(CORVALEN_LOCAL_BACKEND_EXE,
                     QStringList{"serve", "--db", dbPath(), "--port-file", filePath("port")} +
                         extraArgs);
        // The port file is written before the server says it listens.
        QFile f(filePath("port"));
        const bool up = QTest::qWaitFor([&] { return log().contains("listening on"); }, kWaitMs) &&
                        f.open(QIODevice::ReadOnly);
        port = up ? f.readAll().trimmed().toUShort() : 0;
        return port != 0;
    }
    // SIGTERM; true when the server exited cleanly with status 0.
    bool stop()
    {
        server.terminate();
        const bool exited = server.waitForFinished(kWaitMs);
        log();
        return exited && server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0;
    }

    static CliResult run(const QStringList &args)
    {
        QProcess p;
        p.start(CORVALEN_LOCAL_BACKEND_EXE, args);
        const bool exited = p.waitForFinished(kWaitMs) && p.exitStatus() == QProcess::NormalExit;
        return {exited ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    // Runs a command on this backend's database ("--db" added).
    CliResult cli(const QString &command, const QStringList &args = {}) const
    {
        return run(QStringList{command, "--db", dbPath()} + args);
    }
    // Returns the new account's id or an empty string.
    QString createUser(const QString &email, const QString &password) const
    {
        const CliResult r = cli("create-user", {"--email", email, "--password", password});
        return r.exitCode == 0 ? QString::fromUtf8(r.out.trimmed()) : QString();
    }
    bool publish(const QString &email, const QByteArray &bundle, const QStringList &args = {}) const
    {
        QFile f(filePath("bundle.rcc"));
        if (!f.open(QIODevice::WriteOnly) || f.write(bundle) != bundle.size())
            return false;
        f.close();
        return cli("publish-bundle", QStringList{"--email", email, "--file", f.fileName()} + args)
                   .exitCode == 0;
    }

private:
    QTemporaryDir dir;
    QProcess server;
    QByteArray output;
    quint16 port = 0;
};

struct HttpReply
{
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QString error() const { return json().value("error").toString(); }
};

// Blocking HTTP/1.1 calls through QNetworkAccessManager, redirects not followed.
class HttpClient
{
public:
    static QNetworkRequest request(const QString &url, const QString &bearer = {},
                                   const QByteArray &contentType = {})
    {
        QNetworkRequest request{QUrl(url)};
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        if (!bearer.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + bearer.toUtf8());
        if (!contentType.isEmpty())
            request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        return request;
    }
    HttpReply send(const QByteArray &verb, const QString &url, const QByteArray &body = {},
                   const QString &bearer = {}, const QByteArray &contentType = "application/json")
    {
        QNetworkReply *reply = nam.sendCustomRequest(
            request(url, bearer, verb == "POST" ? contentType : QByteArray()), verb, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        HttpReply result;
        if (reply->isFinished() || finished.wait(kWaitMs)) {
            result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            result.body = reply->readAll();
            for (const auto &h : reply->rawHeaderPairs())
                result.headers.insert(h.first.toLower(), h.second);
        }
        reply->deleteLater();
        return result;
    }
    HttpReply get(const QString &url, const QString &bearer = {})
    {
        return send("GET", url, {}, bearer);
    }
    HttpReply post(const QString &url, const QByteArray &body, const QString &bearer = {})
    {
        return send("POST", url, body, bearer);
    }

    QNetworkAccessManager nam;
};
