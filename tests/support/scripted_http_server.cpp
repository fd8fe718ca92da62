#include "scripted_http_server.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

namespace {

// The reason phrase of each status the tests use, one "CODE Reason" a line.
QByteArray reasonFor(int status)
{
    static const QByteArray table =
        "\n200 OK\n201 Created\n204 No Content\n301 Moved Permanently\n302 Found\n303 See Other\n"
        "307 Temporary Redirect\n308 Permanent Redirect\n400 Bad Request\n401 Unauthorized\n"
        "403 Forbidden\n404 Not Found\n406 Not Acceptable\n429 Too Many Requests\n"
        "500 Internal Server Error\n502 Bad Gateway\n503 Service Unavailable\n";
    const qsizetype at = table.indexOf('\n' + QByteArray::number(status) + ' ');
    return at < 0 ? QByteArray("Status") : table.mid(at + 5, table.indexOf('\n', at + 1) - at - 5);
}

} // namespace

QByteArray ScriptedHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second.isNull() ? QByteArray("") : h.second;
    }
    return {};
}

bool ScriptedHttpServer::Request::hasHeader(const QByteArray &name) const
{
    return !header(name).isNull();
}

QString ScriptedHttpServer::Request::path() const
{
    return QUrl::fromEncoded(target).path();
}

ScriptedHttpServer::Response ScriptedHttpServer::Response::json(int status, const QByteArray &body)
{
    return Response{status, {{"Content-Type", "application/json"}}, body};
}

ScriptedHttpServer::Response ScriptedHttpServer::Response::redirect(int status,
                                                                    const QByteArray &location)
{
    return Response{status, {{"Location", location}}, {}};
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
