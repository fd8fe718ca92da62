#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QUrl>
#include <functional>
#include <memory>

class QTcpSocket;

// A real HTTP/1.1 server on 127.0.0.1, or another loopback address (port chosen by the system),
// that records every request and answers it the way a test scripts it: any status, headers and
// body, redirects, bodies dribbled out in pieces, the connection dropped part-way, or no answer
// until the test says.
class ScriptedHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QByteArray method;
        QByteArray target; // path and query exactly as sent
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        QByteArray header(const QByteArray &name) const; // case-insensitive, first match
        bool hasHeader(const QByteArray &name) const;
        QString path() const; // decoded path without the query
    };

    struct Response
    {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        int dribbleChunk = 0;        // > 0: send the body in pieces of this many bytes
        int dribbleDelayMs = 5;      // before each piece, never less
        int dropAfterBodyBytes = -1; // >= 0: close the connection after this many body bytes
        bool hold = false;           // nothing is sent until answerHeld()

        static Response json(int status, const QByteArray &body);
        static Response redirect(int status, const QByteArray &location);
        static Response held();
        Response &withHeader(const QByteArray &name, const QByteArray &value);
    };

    using Handler = std::function<Response(const Request &)>;

    explicit ScriptedHttpServer(QObject *parent = nullptr);
    ~ScriptedHttpServer() override;

    // Listens on 127.0.0.1 with a free port; on 127.0.0.2 it is another origin to the client.
    bool start(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    quint16 port() const;
    QString baseUrl() const; // "http://ADDRESS:PORT"

    // Answers are taken from the queue first, then from the handler, else 404.
    void enqueue(const Response &response);
    void clearQueue() { queue.clear(); }
    void setHandler(Handler handler);
    // Answers every request held so far.
    void answerHeld(const Response &response);

    QList<Request> requests() const { return received; }
    int requestCount() const { return received.size(); }
    Request lastRequest() const { return received.isEmpty() ? Request() : received.last(); }
    void clearRequests() { received.clear(); }

signals:
    void requestReceived(int index);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void send(QTcpSocket *socket, const Response &response, const Request &request);

    QTcpServer server;
    QHash<QTcpSocket *, QByteArray> buffers;
    QList<Response> queue;
    Handler handler;
    QList<Request> received;
    QList<QPair<QPointer<QTcpSocket>, Request>> held;
};
