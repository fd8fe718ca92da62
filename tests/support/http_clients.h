#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QString>

#include <functional>

struct HttpReply
{
    int status = 0; // 0: no answer
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case

    QJsonObject json() const;
    QString error() const { return json().value("error").toString(); }
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

private:
    QNetworkAccessManager nam;
};

// A blocking HTTP/1.1 client on one keep-alive connection to 127.0.0.1, for tests that need many
// threads at once or exact control over the bytes sent. Every wait is bounded.
class RawHttp
{
public:
    // From source (a loopback address; empty: the system's choice), with a receive buffer of
    // receiveBuffer bytes (0: the system's default, which grows as needed).
    explicit RawHttp(quint16 port, const QByteArray &source = {}, int receiveBuffer = 0);
    ~RawHttp();
    RawHttp(const RawHttp &) = delete;
    RawHttp &operator=(const RawHttp &) = delete;

    bool send(const QByteArray &bytes);
    // Ends what this side sends; answers can still be read.
    void finishSending();
    // Whether something (an answer or the end of the connection) has arrived.
    bool readable(int timeoutMs) const { return !buffer.isEmpty() || socketReadable(timeoutMs); }
    // The next answer; status 0 when the connection ended or stalled first.
    HttpReply read();
    HttpReply request(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                      const QByteArray &bearer = {});
    // True once the server has closed the connection (after any answer it sent).
    bool closedByPeer();

private:
    bool socketReadable(int timeoutMs) const;
    bool receive();

    int fd = -1;
    bool ended = false;
    QByteArray buffer;
};

// Runs fn(i, client) on n threads, each with a connection of its own, released together once
// every connection is open.
void runTogether(quint16 port, int n, const std::function<void(int, RawHttp &)> &fn);
