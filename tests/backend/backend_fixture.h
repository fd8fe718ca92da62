#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Result of one operator command of the backend executable.
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
    LocalBackend();
    ~LocalBackend();

    bool isValid() const { return dir.isValid(); }
    QString dbPath() const { return dir.filePath(QStringLiteral("backend.db")); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

    // Starts "serve" on a free port and waits until it announces the port.
    bool start(const QStringList &extraArgs = {});
    // SIGTERM; true when the server exited cleanly with status 0.
    bool stop();
    bool isRunning() const { return server.state() != QProcess::NotRunning; }

    quint16 port() const { return serverPort; }
    QString baseUrl() const; // http://127.0.0.1:PORT/v1
    QByteArray log();        // everything the server printed so far

    static CliResult run(const QStringList &args);
    // Runs a command on this backend's database ("--db" added).
    CliResult cli(const QString &command, const QStringList &args = {}) const;
    // create-user; returns the new id or an empty string.
    QString createUser(const QString &email, const QString &password) const;

private:
    QTemporaryDir dir;
    QProcess server;
    QByteArray output;
    quint16 serverPort = 0;
};

struct HttpReply
{
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case

    QJsonObject json() const;
    QString error() const { return json().value(QStringLiteral("error")).toString(); }
};

// Blocking HTTP/1.1 calls through QNetworkAccessManager, redirects not followed.
class HttpClient
{
public:
    HttpReply send(const QByteArray &verb, const QString &url, const QByteArray &body = {},
                   const QString &bearer = {}, const QByteArray &contentType = "application/json");
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
