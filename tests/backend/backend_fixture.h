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

#include <atomic>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

constexpr int kWaitMs = 60000;
// Password hashing cost for test accounts, where the real one would only cost time.
const QStringList kFastHashing{"--hash-iterations", "1000"};

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
    quint16 serverPort() const { return port; }
    qint64 pid() const { return server.processId(); }
    // Everything the running (or last) server printed. It goes to a file, so a server logging
    // while the test thread is busy never waits for a reader.
    QByteArray log() const
    {
        QFile f(filePath("server.log"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // The links of the reset mails sent so far, as the server printed them.
    QList<QUrl> resetLinks()
    {
        QList<QUrl> links;
        for (const QByteArray &line : log().split('\n')) {
            const qsizetype at = line.indexOf(" password-reset mail to ");
            if (at >= 0)
                links << QUrl(QString::fromUtf8(line.mid(line.indexOf(": ", at) + 2)));
        }
        return links;
    }

    // Starts "serve" on a free port and waits until it listens.
    bool start(const QStringList &extraArgs = {})
    {
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.setStandardOutputFile(filePath("server.log"));
        // A test killed by its time-out must not leave the server running.
        server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
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
    void kill()
    {
        server.kill();
        server.waitForFinished(kWaitMs);
    }
    // SIGTERM; true when the server exited cleanly with status 0.
    bool stop()
    {
        server.terminate();
        const bool exited = server.waitForFinished(kWaitMs);
        return exited && server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0;
    }

    static CliResult run(const QStringList &args, const QByteArray &input = {})
    {
        QProcess p;
        p.start(CORVALEN_LOCAL_BACKEND_EXE, args);
        p.write(input);
        p.closeWriteChannel();
        const bool exited = p.waitForFinished(kWaitMs) && p.exitStatus() == QProcess::NormalExit;
        return {exited ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    // Runs a command on this backend's database ("--db" added).
    CliResult cli(const QString &command, const QStringList &args = {},
                  const QByteArray &input = {}) const
    {
        return run(QStringList{command, "--db", dbPath()} + args, input);
    }
    // Returns the new account's id or an empty string; the password goes in on standard input.
    QString createUser(const QString &email, const QString &password,
                       const QStringList &args = kFastHashing) const
    {
        const CliResult r =
            cli("create-user", QStringList{"--email", email} + args, password.toUtf8() + '\n');
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

// A blocking HTTP/1.1 client on one keep-alive connection, for tests that need many threads
// at once or exact control over the bytes sent. Every wait is bounded by kWaitMs.
class RawHttp
{
public:
    explicit RawHttp(quint16 port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~RawHttp()
    {
        if (fd >= 0)
            ::close(fd);
    }
    RawHttp(const RawHttp &) = delete;
    RawHttp &operator=(const RawHttp &) = delete;

    bool send(const QByteArray &bytes)
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
    // Whether something (an answer or the end of the connection) has arrived.
    bool readable(int timeoutMs) const { return !buffer.isEmpty() || socketReadable(timeoutMs); }
    // The next answer; status 0 when the connection ended or stalled first.
    HttpReply read()
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
            reply.headers.insert(line.left(colon).trimmed().toLower(),
                                 line.mid(colon + 1).trimmed());
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
    HttpReply request(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                      const QByteArray &bearer = {})
    {
        QByteArray head = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (!bearer.isEmpty())
            head += "Authorization: Bearer " + bearer + "\r\n";
        if (method == "POST")
            head += "Content-Type: application/json\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n";
        return send(head + "\r\n" + body) ? read() : HttpReply();
    }
    // True once the server has closed the connection (after any answer it sent).
    bool closedByPeer()
    {
        while (receive()) {
        }
        return ended;
    }

private:
    bool socketReadable(int timeoutMs) const
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }
    bool receive()
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

    int fd = -1;
    bool ended = false;
    QByteArray buffer;
};

// Runs fn(i, client) on n threads, each with a connection of its own, released together once
// every connection is open.
inline void runTogether(quint16 port, int n, const std::function<void(int, RawHttp &)> &fn)
{
    std::promise<void> go;
    const std::shared_future<void> released = go.get_future().share();
    std::atomic<int> connected{0};
    std::vector<std::thread> threads;
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
