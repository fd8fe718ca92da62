#include "support/http_clients.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QSignalSpy>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/local_backend.h"

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
    if (!bearer.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + bearer.toUtf8());
    if (verb == "POST")
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    QNetworkReply *reply = nam.sendCustomRequest(request, verb, body);
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

RawHttp::RawHttp(quint16 port, const QByteArray &source, int receiveBuffer)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Set before connecting, so that the window offered to the server stays that small.
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (!source.isEmpty()) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (::inet_pton(AF_INET, source.constData(), &from.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            ::close(fd);
            fd = -1;
            return;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        fd = -1;
    }
}

RawHttp::~RawHttp()
{
    if (fd >= 0)
        ::close(fd);
}

bool RawHttp::send(const QByteArray &bytes)
{
    for (qsizetype sent = 0; fd >= 0 && sent < bytes.size();) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return fd >= 0;
}

void RawHttp::finishSending()
{
    if (fd >= 0)
        ::shutdown(fd, SHUT_WR);
}

HttpReply RawHttp::read()
{
    HttpReply reply;
    qsizetype headEnd;
    while ((headEnd = buffer.indexOf("\r\n\r\n")) < 0) {
        if (!receive())
            return reply;
    }
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    for (const QByteArray &line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        reply.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    const qsizetype length = reply.headers.value("content-length").toLongLong();
    while (buffer.size() < headEnd + 4 + length) {
        if (!receive())
            return reply;
    }
    reply.status = lines.value(0).split(' ').value(1).toInt();
    reply.body = buffer.mid(headEnd + 4, length);
    buffer.remove(0, headEnd + 4 + length);
    return reply;
}

HttpReply RawHttp::request(const QByteArray &method, const QByteArray &path, const QByteArray &body,
                           const QByteArray &bearer)
{
    QByteArray head = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!bearer.isEmpty())
        head += "Authorization: Bearer " + bearer + "\r\n";
    if (method == "POST")
        head +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n";
    return send(head + "\r\n" + body) ? read() : HttpReply();
}

bool RawHttp::closedByPeer()
{
    while (receive()) {
    }
    return ended;
}

bool RawHttp::socketReadable(int timeoutMs) const
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

bool RawHttp::receive()
{
    char chunk[16384];
    if (fd < 0 || ended || !socketReadable(kWaitMs))
        return false;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        ended = true;
        return false;
    }
    buffer.append(chunk, n);
    return true;
}

void runTogether(quint16 port, int n, const std::function<void(int, RawHttp &)> &fn)
{
    std::promise<void> go;
    const std::shared_future<void> released = go.get_future().share();
    std::atomic<int> connected{0};
    std::vector<std::thread> threads;
    threads.reserve(std::size_t(n));
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            RawHttp client(port);
            ++connected;
            released.wait();
            fn(i, client);
        });
    }
    while (connected < n)
        std::this_thread::yield();
    go.set_value();
    for (std::thread &t : threads)
        t.join();
}
