#include "guarded_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <vector>

namespace backend {

namespace {
using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadBufferBytes = std::size_t{16} << 10;
// A head that fills this without ending is handed to a worker, which refuses it.
constexpr std::size_t kPeekBytes = std::size_t{16} << 10;
constexpr std::size_t kMaxHeadBytes = std::size_t{64} << 10;
constexpr int kWriteTimeoutMs = 60000;
// How long a refused request's unread rest is read and dropped before the connection closes,
// so that the client sees the answer rather than a reset.
constexpr int kDrainMs = 2000;
constexpr int kSweepMs = 100;

const char kTimeoutReply[] =
    "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nCache-Control: no-store\r\n"
    "Content-Type: application/json; charset=utf-8\r\nContent-Length: 75\r\n\r\n"
    R"({"error":"request-timeout","message":"The request did not arrive in time."})";

int msUntil(Clock::time_point when)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 3600000));
}

bool waitFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    while (true) {
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc >= 0)
            return rc > 0;
        if (errno != EINTR)
            return false;
    }
}

std::string_view kHeadEnd = "\r\n\r\n";
} // namespace

// One client connection: the stream the HTTP library reads requests from and writes answers
// to, with the deadline and size limits of the request being read.
class Connection final : public httplib::Stream
{
public:
    explicit Connection(int socket) : fd(socket), buffer(kReadBufferBytes) {}
    ~Connection() override { ::close(fd); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void beginRequest(int timeoutMs)
    {
        requestTimeoutMs = timeoutMs;
        deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        inHead = true;
        headMatch = 0;
        headBytes = bodyBytes = 0;
        bodyLimit = SIZE_MAX;
        bodyTooLarge = timedOut = mustClose = false;
    }
    // Bytes read from the socket but not yet by the library: the start of a pipelined request.
    std::string_view buffered() const { return {buffer.data() + pos, len - pos}; }

    bool is_readable() const override
    {
        return pos < len || waitFor(fd, POLLIN, msUntil(deadline));
    }
    bool is_writable() const override { return waitFor(fd, POLLOUT, kWriteTimeoutMs); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (pos == len) {
            const ssize_t got = fill();
            if (got <= 0) {
                mustClose = true;
                return got;
            }
        }
        const size_t n = std::min(size, len - pos);
        if (!account(buffer.data() + pos, n)) {
            mustClose = true;
            return -1;
        }
        std::memcpy(ptr, buffer.data() + pos, n);
        pos += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        while (waitFor(fd, POLLOUT, kWriteTimeoutMs)) {
            const ssize_t sent = ::send(fd, ptr, size, MSG_NOSIGNAL);
            if (sent >= 0)
                return sent;
            if (errno != EINTR && errno != EAGAIN)
                break;
        }
        mustClose = true;
        return -1;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        address(true, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        address(false, ip, port);
    }
    socket_t socket() const override { return fd; }

    const int fd;
    std::size_t bodyLimit = SIZE_MAX;
    bool bodyTooLarge = false;
    bool timedOut = false;
    bool mustClose = false;

    // Kept by the lobby while the connection waits there.
    Clock::time_point parkDeadline;
    bool sawBytes = false;
    bool draining = false;

private:
    ssize_t fill()
    {
        pos = len = 0;
        while (true) {
            const int left = msUntil(deadline);
            if (left <= 0 || !waitFor(fd, POLLIN, left)) {
                timedOut = true;
                return -1;
            }
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got > 0)
                len = static_cast<size_t>(got);
            return got;
        }
    }

    // Follows the request through its head and body as the library consumes it; false when
    // a limit is passed.
    bool account(const char *data, size_t n)
    {
        size_t i = 0;
        while (inHead && i < n) {
            const char c = data[i++];
            headMatch = c == kHeadEnd[headMatch] ? headMatch + 1 : (c == '\r' ? 1 : 0);
            if (headMatch == kHeadEnd.size()) {
                inHead = false;
                // The body gets a time of its own, from the end of the head.
                deadline = Clock::now() + std::chrono::milliseconds(requestTimeoutMs);
            }
        }
        if (inHead) {
            headBytes += n;
            return headBytes <= kMaxHeadBytes;
        }
        bodyBytes += n - i;
        bodyTooLarge = bodyBytes > bodyLimit;
        return !bodyTooLarge;
    }

    void address(bool peer, std::string &ip, int &port) const
    {
        sockaddr_storage addr{};
        socklen_t size = sizeof addr;
        auto *sa = reinterpret_cast<sockaddr *>(&addr);
        if ((peer ? ::getpeername(fd, sa, &size) : ::getsockname(fd, sa, &size)) != 0)
            return;
        char text[INET6_ADDRSTRLEN] = "";
        if (addr.ss_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&addr);
            ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            port = ntohs(in->sin_port);
        } else if (addr.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&addr);
            ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
            port = ntohs(in6->sin6_port);
        }
        ip = text;
    }

    std::vector<char> buffer;
    size_t pos = 0;
    size_t len = 0;
    Clock::time_point deadline;
    int requestTimeoutMs = 0;
    bool inHead = true;
    size_t headMatch = 0;
    size_t headBytes = 0;
    size_t bodyBytes = 0;
};

namespace {
thread_local Connection *current = nullptr;
}

// Connections waiting for their next request head, watched by one epoll thread.
class GuardedServer::Lobby
{
public:
    Lobby(GuardedServer &owner, std::size_t limit)
        : server(owner), maxParked(limit), epfd(::epoll_create1(EPOLL_CLOEXEC)),
          wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), peek(kPeekBytes)
    {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = wakeFd;
        ::epoll_ctl(epfd, EPOLL_CTL_ADD, wakeFd, &ev);
        thread = std::thread([this] { run(); });
    }
    ~Lobby()
    {
        stop();
        ::close(wakeFd);
        ::close(epfd);
    }

    // The connection waits until a whole head is there (then goes to a worker) or until
    // timeoutMs pass without one; a draining one only has its input read and dropped.
    void park(std::unique_ptr<Connection> c, int timeoutMs, bool drain)
    {
        c->parkDeadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        c->sawBytes = !c->buffered().empty();
        c->draining = drain;
        const int fd = c->fd;
        std::lock_guard<std::mutex> lock(mutex);
        if (stopped)
            return;
        if (parked.size() >= maxParked)
            evictOldest();
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        ev.data.fd = fd;
        parked.emplace(fd, std::move(c));
        if (::epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) != 0)
            parked.erase(fd);
    }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopped)
                return;
            stopped = true;
        }
        const std::uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
        thread.join();
        std::lock_guard<std::mutex> lock(mutex);
        parked.clear();
    }

private:
    enum class Verdict
    {
        Wait,
        Ready,
        Drop
    };

    void run()
    {
        epoll_event events[64];
        auto nextSweep = Clock::now();
        while (true) {
            const int n = ::epoll_wait(epfd, events, 64, kSweepMs);
            std::vector<std::unique_ptr<Connection>> ready;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopped)
                    return;
                for (int i = 0; i < n; ++i) {
                    const auto it = parked.find(events[i].data.fd);
                    if (it == parked.end())
                        continue;
                    const Verdict verdict = check(*it->second);
                    if (verdict == Verdict::Ready) {
                        ::epoll_ctl(epfd, EPOLL_CTL_DEL, it->first, nullptr);
                        ready.push_back(std::move(it->second));
                    }
                    if (verdict != Verdict::Wait)
                        parked.erase(it);
                }
                if (Clock::now() >= nextSweep) {
                    sweep();
                    nextSweep = Clock::now() + std::chrono::milliseconds(kSweepMs);
                }
            }
            for (auto &c : ready)
                server.dispatch(std::move(c));
        }
    }

    Verdict check(Connection &c)
    {
        if (c.draining) {
            while (true) {
                const ssize_t got = ::recv(c.fd, peek.data(), peek.size(), MSG_DONTWAIT);
                if (got > 0)
                    continue;
                return got < 0 && (errno == EAGAIN || errno == EINTR) ? Verdict::Wait
                                                                      : Verdict::Drop;
            }
        }
        const ssize_t got = ::recv(c.fd, peek.data(), peek.size(), MSG_PEEK | MSG_DONTWAIT);
        if (got < 0 && errno != EAGAIN && errno != EINTR)
            return Verdict::Drop;
        if (got == 0)
            return Verdict::Drop;
        const std::string seen =
            std::string(c.buffered()) + std::string(peek.data(), got > 0 ? size_t(got) : 0);
        if (seen.find(kHeadEnd) != std::string::npos || seen.size() >= peek.size())
            return Verdict::Ready;
        if (seen.empty())
            return Verdict::Wait;
        // An idle keep-alive connection has started a request: the head gets its full time.
        if (!c.sawBytes) {
            c.sawBytes = true;
            c.parkDeadline = Clock::now() + std::chrono::milliseconds(server.requestTimeoutMs);
        }
        return Verdict::Wait;
    }

    // Idle connections just close; a half-sent request is told why, then drained briefly.
    void sweep()
    {
        const auto now = Clock::now();
        for (auto it = parked.begin(); it != parked.end();) {
            Connection &c = *it->second;
            if (c.parkDeadline > now) {
                ++it;
                continue;
            }
            if (c.sawBytes && !c.draining) {
                (void)!::send(c.fd, kTimeoutReply, sizeof kTimeoutReply - 1,
                              MSG_DONTWAIT | MSG_NOSIGNAL);
                ::shutdown(c.fd, SHUT_WR);
                c.draining = true;
                c.parkDeadline = now + std::chrono::milliseconds(kDrainMs);
                ++it;
                continue;
            }
            it = parked.erase(it);
        }
    }

    void evictOldest()
    {
        const auto oldest = std::min_element(parked.begin(), parked.end(), [](auto &a, auto &b) {
            return a.second->parkDeadline < b.second->parkDeadline;
        });
        if (oldest != parked.end())
            parked.erase(oldest);
    }

    GuardedServer &server;
    const std::size_t maxParked;
    const int epfd;
    const int wakeFd;
    std::vector<char> peek;
    std::mutex mutex;
    std::unordered_map<int, std::unique_ptr<Connection>> parked;
    bool stopped = false;
    std::thread thread;
};

// The library's worker pool, with the lobby living as long as the server listens.
class GuardedServer::WorkerQueue final : public httplib::TaskQueue
{
public:
    explicit WorkerQueue(GuardedServer &owner) : server(owner), pool(owner.workerCount)
    {
        server.stopping = false;
        server.lobby = std::make_unique<Lobby>(owner, owner.maxParked);
        server.queue = this;
    }
    void enqueue(std::function<void()> fn) override { pool.enqueue(std::move(fn)); }
    void shutdown() override
    {
        server.stopping = true;
        server.lobby->stop();
        pool.shutdown();
        server.queue = nullptr;
    }

private:
    GuardedServer &server;
    httplib::ThreadPool pool;
};

GuardedServer::GuardedServer(std::size_t workers, std::size_t maxParkedConnections,
                             int requestTimeoutSeconds, int idleSeconds)
    : workerCount(workers), maxParked(maxParkedConnections),
      requestTimeoutMs(requestTimeoutSeconds * 1000), idleMs(idleSeconds * 1000)
{
    new_task_queue = [this] { return new WorkerQueue(*this); };
    set_keep_alive_timeout(idleSeconds);
    set_write_timeout(kWriteTimeoutMs / 1000, 0);
}

GuardedServer::~GuardedServer() = default;

void GuardedServer::limitRequestBody(std::size_t bytes)
{
    if (current)
        current->bodyLimit = bytes;
}

bool GuardedServer::requestBodyTooLarge()
{
    return current && current->bodyTooLarge;
}

bool GuardedServer::requestTimedOut()
{
    return current && current->timedOut;
}

void GuardedServer::closeAfterResponse()
{
    if (current)
        current->mustClose = true;
}

// Runs on a worker for every accepted socket; the lobby decides when it gets one again.
bool GuardedServer::process_and_close_socket(socket_t sock)
{
    // Answers go out as two writes (head, body); without this, Nagle's algorithm and the
    // client's delayed acknowledgement hold the second one back for tens of milliseconds.
    const int one = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto connection = std::make_unique<Connection>(sock);
    if (stopping)
        return false;
    lobby->park(std::move(connection), requestTimeoutMs, false);
    return true;
}

void GuardedServer::dispatch(std::unique_ptr<Connection> connection)
{
    WorkerQueue *workers = queue;
    if (!workers || stopping)
        return;
    Connection *raw = connection.release();
    workers->enqueue([this, raw] { serve(std::unique_ptr<Connection>(raw)); });
}

void GuardedServer::serve(std::unique_ptr<Connection> connection)
{
    current = connection.get();
    bool keep = true;
    do {
        connection->beginRequest(requestTimeoutMs);
        bool closed = false;
        const bool ok = process_request(*connection, stopping, closed, nullptr);
        keep = ok && !closed && !connection->mustClose && !stopping;
        // A pipelined request whose head is already here is served at once; one still
        // arriving waits in the lobby like any other.
    } while (keep && connection->buffered().find(kHeadEnd) != std::string_view::npos);
    current = nullptr;
    if (keep) {
        const bool started = !connection->buffered().empty();
        lobby->park(std::move(connection), started ? requestTimeoutMs : idleMs, false);
    } else if (connection->mustClose && !stopping) {
        ::shutdown(connection->fd, SHUT_WR);
        lobby->park(std::move(connection), kDrainMs, true);
    }
}

} // namespace backend
