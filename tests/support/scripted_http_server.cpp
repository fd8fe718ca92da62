#include "scripted_http_server.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

namespace {

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 406:
        return "Not Acceptable";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

QByteArray ScriptedHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

bool ScriptedHttpServer::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString ScriptedHttpServer::Request::path() const
{
    return QUrl::fromEncoded(target).path();
}

ScriptedHttpServer::Response ScriptedHttpServer::Response::json(int status, const QByteArray &body)
{
    Response r;
    r.status = status;
    r.body = body;
    r.headers.emplaceBack(QByteArray("Content-Type"), QByteArray("application/json"));
    return r;
}

ScriptedHttpServer::Response ScriptedHttpServer::Response::redirect(int status,
                                                                    const QByteArray &location)
{
    Response r;
    r.status = status;
    r.headers.emplaceBack(QByteArray("Location"), location);
    return r;
}

ScriptedHttpServer::Response ScriptedHttpServer::Response::held()
{
    Response r;
    r.hold = true;
    return r;
}

ScriptedHttpServer::Response &ScriptedHttpServer::Response::withHeader(const QByteArray &name,
                                                                       const QByteArray &value)
{
    headers.emplaceBack(name, value);
    return *this;
}

ScriptedHttpServer::ScriptedHttpServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &ScriptedHttpServer::onNewConnection);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    const auto sockets = buffers.keys();
    for (QTcpSocket *s : sockets) {
        s->disconnect(this);
        s->abort();
        delete s;
    }
}

bool ScriptedHttpServer::start(const QHostAddress &address)
{
    return server.listen(address, 0);
}

quint16 ScriptedHttpServer::port() const
{
    return server.serverPort();
}

QString ScriptedHttpServer::baseUrl() const
{
    return QStringLiteral("http://%1:%2").arg(server.serverAddress().toString()).arg(port());
}

void ScriptedHttpServer::enqueue(const Response &response)
{
    queue.append(response);
}

void ScriptedHttpServer::setHandler(Handler h)
{
    handler = std::move(h);
}

void ScriptedHttpServer::answerHeld(const Response &response)
{
    for (const auto &[socket, request] : std::exchange(held, {}))
        if (socket)
            send(socket, response, request);
}

void ScriptedHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        socket->setParent(nullptr);
        buffers.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void ScriptedHttpServer::onReadyRead(QTcpSocket *socket)
{
    if (!buffers.contains(socket))
        return;
    QByteArray &buffer = buffers[socket];
    buffer.append(socket->readAll());

    // Several requests may arrive on one kept-alive connection.
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        if (lines.isEmpty())
            return;
        Request request;
        const QList<QByteArray> first = lines.first().trimmed().split(' ');
        if (first.size() >= 2) {
            request.method = first.at(0);
            request.target = first.at(1);
        }
        qint64 contentLength = 0;
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.emplaceBack(name, value);
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                contentLength = value.toLongLong();
        }
        qsizetype consumed = headerEnd + 4;
        if (buffer.size() < consumed + contentLength)
            return;
        request.body = buffer.mid(consumed, contentLength);
        consumed += contentLength;
        buffer.remove(0, consumed);

        received.append(request);
        Response response;
        if (!queue.isEmpty()) {
            response = queue.takeFirst();
        } else if (handler) {
            response = handler(request);
        } else {
            response.status = 404;
        }
        emit requestReceived(received.size() - 1);
        if (response.hold) { // the client sends nothing more on this connection until answered
            held.append({socket, request});
            return;
        }
        send(socket, response, request);
        if (!buffers.contains(socket))
            return;
    }
}

void ScriptedHttpServer::send(QTcpSocket *socket, const Response &response, const Request &request)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      reasonFor(response.status) + "\r\n";
    for (const auto &h : response.headers)
        head += h.first + ": " + h.second + "\r\n";
    head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    const bool shouldClose = response.dropAfterBodyBytes >= 0;
    if (shouldClose)
        head += "Connection: close\r\n";
    head += "\r\n";

    QByteArray body = request.method == "HEAD" ? QByteArray() : response.body;
    if (response.dropAfterBodyBytes >= 0)
        body = body.left(response.dropAfterBodyBytes);

    if (response.dribbleChunk <= 0) {
        socket->write(head + body);
        if (shouldClose) {
            socket->flush();
            socket->disconnectFromHost();
        }
        return;
    }

    socket->write(head);
    // Dribble the body out from the event loop, one piece per timer tick.
    QPointer<QTcpSocket> guard(socket);
    auto offset = std::make_shared<qsizetype>(0);
    auto timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire early
    timer->setInterval(response.dribbleDelayMs);
    const int chunk = response.dribbleChunk;
    connect(timer, &QTimer::timeout, this, [guard, timer, offset, body, chunk, shouldClose] {
        if (!guard || guard->state() != QAbstractSocket::ConnectedState) {
            timer->deleteLater();
            return;
        }
        guard->write(body.mid(*offset, chunk));
        *offset += chunk;
        if (*offset >= body.size()) {
            timer->stop();
            timer->deleteLater();
            if (shouldClose) {
                guard->flush();
                guard->disconnectFromHost();
            }
        }
    });
    timer->start();
}
