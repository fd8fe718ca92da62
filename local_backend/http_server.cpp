#include "http_server.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace backend {

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxHeadBytes = std::uint32_t{64} << 10;
constexpr std::size_t kReadChunk = std::size_t{16} << 10;
// How long a refused request's unread rest is read and dropped before the connection closes.
constexpr auto kDrainTime = std::chrono::seconds(2);
// Pause before accepting again when the process is out of descriptors.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// Sent as is: the head never arrived whole, so there is no request to hand to a handler.
const char kTimeoutReply[] =
    "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nCache-Control: no-store\r\n"
    "Content-Type: application/json; charset=utf-8\r\nContent-Length: 75\r\n\r\n"
    R"({"error":"request-timeout","message":"The request did not arrive in time."})";
const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

std::string text(beast::string_view view)
{
    return std::string(view.data(), view.size());
}

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lowerA =
            static_cast<unsigned char>(a[i] >= 'A' && a[i] <= 'Z' ? a[i] + 32 : a[i]);
        const auto lowerB =
            static_cast<unsigned char>(b[i] >= 'A' && b[i] <= 'Z' ? b[i] + 32 : b[i]);
        if (lowerA != lowerB)
            return false;
    }
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string decode(std::string_view in, bool plusIsSpace)
{
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '%' && i + 2 < in.size()) {
            const int hi = hexDigit(in[i + 1]), lo = hexDigit(in[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += plusIsSpace && c == '+' ? ' ' : c;
    }
    return out;
}

void parseParams(std::string_view query, std::multimap<std::string, std::string> &params)
{
    std::size_t start = 0;
    while (start <= query.size()) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view pair = query.substr(start, end - start);
        if (!pair.empty()) {
            const std::size_t eq = pair.find('=');
            params.emplace(decode(pair.substr(0, eq), true),
                           eq == std::string_view::npos ? std::string()
                                                        : decode(pair.substr(eq + 1), true));
        }
        start = end + 1;
    }
}

// The methods whose requests carry a body even without framing headers: it then runs until the
// client closes its side.
bool bodyUntilClose(std::string_view method)
{
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

bool connectionClosed(const error_code &ec)
{
    return ec == http::error::end_of_stream || ec == http::error::partial_message ||
           ec.category() != make_error_code(http::error::bad_target).category();
}
} // namespace

bool Request::has_header(std::string_view name) const
{
    return get_header_value_count(name) > 0;
}

std::string Request::get_header_value(std::string_view name, std::size_t index) const
{
    for (const auto &[key, value] : headers) {
        if (sameName(key, name) && index-- == 0)
            return value;
    }
    return {};
}

std::size_t Request::get_header_value_count(std::string_view name) const
{
    std::size_t count = 0;
    for (const auto &header : headers)
        count += sameName(header.first, name) ? 1 : 0;
    return count;
}

std::string Request::get_param_value(const std::string &name) const
{
    const auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

void Response::set_header(std::string name, std::string value)
{
    headers.emplace_back(std::move(name), std::move(value));
}

void Response::set_content(std::string content, std::string contentType)
{
    body = std::move(content);
    set_header("Content-Type", std::move(contentType));
}

void Response::set_redirect(const std::string &url, int code)
{
    status = code;
    set_header("Location", url);
}

class HttpServer::Impl
{
public:
    explicit Impl(const Limits &l) : limits(l) {}

    class Connection;

    void accept();
    bool claimPeer(const std::string &peer);
    void releasePeer(const std::string &peer);
    Response handle(const Request &req) const;
    void log(const Request &req, const Response &res) const
    {
        if (logger)
            logger(req, res);
    }

    const Limits limits;
    std::map<std::pair<std::string, std::string>, Handler> routes;
    BodyCheck bodyCheck;
    ErrorHandler errorHandler;
    Logger logger;

    // Guards peers and waiting; the connections below outlive neither.
    std::mutex mutex;
    std::unordered_map<std::string, std::size_t> peers;
    struct Waiter
    {
        Connection *connection;
        std::weak_ptr<Connection> weak;
    };
    std::list<Waiter> waiting; // oldest first

    std::atomic<bool> stopping{false};
    asio::io_context ioc;
    tcp::acceptor acceptor{ioc};
    asio::steady_timer acceptRetry{ioc};
};

// One client connection, all of whose work runs on its strand.
class HttpServer::Impl::Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(Impl &owner, tcp::socket s, std::string peerAddress)
        : server(owner), socket(std::move(s)), timer(socket.get_executor()),
          peer(std::move(peerAddress))
    {
    }
    ~Connection()
    {
        leaveWaiting();
        server.releasePeer(peer);
    }

    void start()
    {
        error_code ec;
        // Answers go out as several writes (head, body); without this, Nagle's algorithm and
        // the client's delayed acknowledgement hold the last one back for tens of milliseconds.
        socket.set_option(tcp::no_delay(true), ec);
        awaitRequest(std::chrono::seconds(server.limits.requestTimeoutSeconds));
    }

    tcp::socket::executor_type socketExecutor() { return socket.get_executor(); }

    void close()
    {
        error_code ec;
        disarm();
        socket.close(ec);
    }

    // For the waiting list, under the server's mutex.
    bool isWaiting = false;
    std::list<Waiter>::iterator waitingAt;

private:
    enum class Phase
    {
        Idle,
        Head,
        Body,
        Write,
        Drain
    };

    void arm(Phase p, Clock::duration after)
    {
        phase = p;
        const unsigned generation = ++timerGeneration;
        timer.expires_after(after);
        timer.async_wait([self = shared_from_this(), generation](const error_code &ec) {
            if (!ec && generation == self->timerGeneration)
                self->expired();
        });
    }
    void disarm()
    {
        ++timerGeneration;
        timer.cancel();
    }
    void expired()
    {
        if (phase == Phase::Head || phase == Phase::Body) {
            // The pending read ends with an error; its handler answers 408.
            timedOut = true;
            error_code ec;
            socket.cancel(ec);
        } else {
            close();
        }
    }

    std::chrono::seconds requestTimeout() const
    {
        return std::chrono::seconds(server.limits.requestTimeoutSeconds);
    }

    void enterWaiting()
    {
        std::shared_ptr<Connection> evicted;
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            if (isWaiting)
                return;
            if (server.waiting.size() >= server.limits.maxWaiting && !server.waiting.empty()) {
                Waiter oldest = server.waiting.front();
                server.waiting.pop_front();
                oldest.connection->isWaiting = false;
                evicted = oldest.weak.lock();
            }
            waitingAt = server.waiting.insert(server.waiting.end(), {this, weak_from_this()});
            isWaiting = true;
        }
        if (evicted)
            asio::post(evicted->socket.get_executor(), [evicted] { evicted->close(); });
    }
    void leaveWaiting()
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        if (isWaiting)
            server.waiting.erase(waitingAt);
        isWaiting = false;
    }

    // Waits up to idle for the first byte of the next request; a connection that sends none
    // is closed without a word.
    void awaitRequest(Clock::duration idle)
    {
        enterWaiting();
        if (buffer.size() > 0)
            return readHead();
        arm(Phase::Idle, idle);
        socket.async_read_some(buffer.prepare(kReadChunk),
                               [self = shared_from_this()](const error_code &ec, std::size_t n) {
                                   if (ec)
                                       return self->close();
                                   self->buffer.commit(n);
                                   self->readHead();
                               });
    }

    void readHead()
    {
        parser.emplace();
        parser->header_limit(kMaxHeadBytes);
        // Set per request once its head is known.
        parser->body_limit(std::numeric_limits<std::uint64_t>::max());
        timedOut = false;
        arm(Phase::Head, requestTimeout());
        http::async_read_header(
            socket, buffer, *parser,
            [self = shared_from_this()](const error_code &ec, std::size_t) { self->onHead(ec); });
    }

    void onHead(const error_code &ec)
    {
        disarm();
        leaveWaiting();
        if (timedOut)
            return sendRaw(kTimeoutReply, sizeof kTimeoutReply - 1);
        request = Request();
        readRequestHead();
        if (ec) {
            if (connectionClosed(ec))
                return close();
            const bool framing =
                ec == http::error::bad_content_length || ec == http::error::bad_transfer_encoding;
            return fail(framing ? Failure::BadFraming : Failure::BadRequest);
        }
        Response refusal;
        const std::optional<std::size_t> cap =
            server.bodyCheck ? server.bodyCheck(request, refusal)
                             : std::optional<std::size_t>(std::numeric_limits<std::size_t>::max());
        if (!cap) {
            refusal.closeConnection = true;
            return answer(std::move(refusal));
        }
        bodyLimit = *cap;
        untilClose =
            !parser->content_length() && !parser->chunked() && bodyUntilClose(request.method);
        const bool bodyComing = untilClose || !parser->is_done();
        if (bodyComing && sameName(text(parser->get()[http::field::expect]), "100-continue")) {
            arm(Phase::Write, std::chrono::seconds(server.limits.writeTimeoutSeconds));
            asio::async_write(socket, asio::buffer(kContinue, sizeof kContinue - 1),
                              [self = shared_from_this()](const error_code &e, std::size_t) {
                                  self->disarm();
                                  if (e)
                                      return self->close();
                                  self->readBody();
                              });
            return;
        }
        readBody();
    }

    // Method, path, query and headers, as far as they were parsed.
    void readRequestHead()
    {
        const auto &message = parser->get();
        request.method = text(message.method_string());
        const std::string target = text(message.target());
        const std::size_t query = target.find('?');
        request.path = decode(std::string_view(target).substr(0, query), false);
        if (query != std::string::npos)
            parseParams(std::string_view(target).substr(query + 1), request.params);
        for (const auto &field : message)
            request.headers.emplace_back(text(field.name_string()), text(field.value()));
        head = request.method == "HEAD";
    }

    void readBody()
    {
        if (untilClose) {
            arm(Phase::Body, requestTimeout());
            return readUntilClose();
        }
        if (parser->is_done())
            return dispatch();
        // Chunked bodies are limited as decoded; their length is checked before reading.
        parser->body_limit(static_cast<std::uint64_t>(bodyLimit));
        arm(Phase::Body, requestTimeout());
        http::async_read(socket, buffer, *parser,
                         [self = shared_from_this()](const error_code &ec, std::size_t) {
                             self->disarm();
                             if (self->timedOut)
                                 return self->fail(Failure::TimedOut);
                             if (ec == http::error::body_limit)
                                 return self->fail(Failure::BodyTooLarge);
                             if (ec && connectionClosed(ec))
                                 return self->close();
                             if (ec)
                                 return self->fail(Failure::BadRequest);
                             self->request.body = std::move(self->parser->get().body());
                             self->dispatch();
                         });
    }

    void readUntilClose()
    {
        if (buffer.size() > bodyLimit) {
            disarm();
            return fail(Failure::BodyTooLarge);
        }
        socket.async_read_some(buffer.prepare(kReadChunk),
                               [self = shared_from_this()](const error_code &ec, std::size_t n) {
                                   if (self->timedOut) {
                                       self->disarm();
                                       return self->fail(Failure::TimedOut);
                                   }
                                   if (ec == asio::error::eof) {
                                       self->disarm();
                                       self->request.body =
                                           beast::buffers_to_string(self->buffer.data());
                                       self->buffer.consume(self->buffer.size());
                                       return self->dispatch();
                                   }
                                   if (ec)
                                       return self->close();
                                   self->buffer.commit(n);
                                   self->readUntilClose();
                               });
    }

    // The handler runs right here, on this connection's strand: the other connections have the
    // other threads, and nothing here waits for a client.
    void dispatch()
    {
        keepAlive = parser->keep_alive() && !untilClose;
        http10 = parser->get().version() < 11;
        if (request.get_header_value("Content-Type")
                .rfind("application/x-www-form-urlencoded", 0) == 0)
            parseParams(request.body, request.params);
        Response res = server.handle(request);
        server.log(request, res);
        write(std::move(res));
    }

    void fail(Failure failure)
    {
        Response res;
        if (server.errorHandler)
            server.errorHandler(request, res, failure);
        res.closeConnection = true;
        answer(std::move(res));
    }

    void answer(Response res)
    {
        server.log(request, res);
        write(std::move(res));
    }

    void write(Response res)
    {
        const bool keep = keepAlive && !res.closeConnection && !server.stopping;
        keepAlive = false;
        drainAfter = res.closeConnection;
        out = {};
        out.version(11);
        out.result(static_cast<unsigned>(res.status));
        for (auto &[name, value] : res.headers)
            out.insert(name, value);
        if (out.find(http::field::connection) == out.end()) {
            if (!keep)
                out.set(http::field::connection, "close");
            else if (http10)
                out.set(http::field::connection, "keep-alive");
        }
        out.content_length(res.body.size());
        if (!head)
            out.body() = std::move(res.body);
        arm(Phase::Write, std::chrono::seconds(server.limits.writeTimeoutSeconds));
        http::async_write(socket, out,
                          [self = shared_from_this(), keep](const error_code &ec, std::size_t) {
                              self->disarm();
                              self->out = {};
                              if (ec)
                                  return self->close();
                              if (keep)
                                  return self->awaitRequest(
                                      std::chrono::seconds(self->server.limits.idleSeconds));
                              if (self->drainAfter)
                                  return self->drain();
                              self->close();
                          });
    }

    void sendRaw(const char *data, std::size_t size)
    {
        arm(Phase::Write, std::chrono::seconds(server.limits.writeTimeoutSeconds));
        asio::async_write(socket, asio::buffer(data, size),
                          [self = shared_from_this()](const error_code &ec, std::size_t) {
                              self->disarm();
                              if (ec)
                                  return self->close();
                              self->drain();
                          });
    }

    // Reads and drops what the client still sends, for a while, so that it sees the answer
    // rather than a reset.
    void drain()
    {
        error_code ec;
        socket.shutdown(tcp::socket::shutdown_send, ec);
        buffer.consume(buffer.size());
        arm(Phase::Drain, kDrainTime);
        drainMore();
    }
    void drainMore()
    {
        socket.async_read_some(buffer.prepare(kReadChunk),
                               [self = shared_from_this()](const error_code &ec, std::size_t) {
                                   if (ec)
                                       return self->close();
                                   self->drainMore();
                               });
    }

    Impl &server;
    tcp::socket socket;
    asio::steady_timer timer;
    const std::string peer;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> out;
    Request request;
    Phase phase = Phase::Idle;
    unsigned timerGeneration = 0;
    std::size_t bodyLimit = 0;
    bool timedOut = false;
    bool untilClose = false;
    bool keepAlive = false;
    bool http10 = false;
    bool head = false;
    bool drainAfter = false;
};

void HttpServer::Impl::accept()
{
    acceptor.async_accept(asio::make_strand(ioc), [this](const error_code &ec, tcp::socket s) {
        if (!acceptor.is_open() || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors: try again shortly rather than spin.
            acceptRetry.expires_after(kAcceptRetry);
            acceptRetry.async_wait([this](const error_code &e) {
                if (!e)
                    accept();
            });
            return;
        }
        error_code e;
        const tcp::endpoint remote = s.remote_endpoint(e);
        const std::string peer = e ? std::string() : remote.address().to_string();
        if (!e && claimPeer(peer)) {
            auto connection = std::make_shared<Connection>(*this, std::move(s), peer);
            asio::post(connection->socketExecutor(), [connection] { connection->start(); });
        } else {
            s.close(e);
        }
        accept();
    });
}

bool HttpServer::Impl::claimPeer(const std::string &peer)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t &open = peers[peer];
    if (open >= limits.maxPerPeer)
        return false;
    ++open;
    return true;
}

void HttpServer::Impl::releasePeer(const std::string &peer)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = peers.find(peer);
    if (it != peers.end() && --it->second == 0)
        peers.erase(it);
}

Response HttpServer::Impl::handle(const Request &req) const
{
    Response res;
    // A HEAD request is answered like a GET, without the body.
    const auto route = routes.find({req.method == "HEAD" ? "GET" : req.method, req.path});
    try {
        if (route == routes.end()) {
            res.status = 404;
            if (errorHandler)
                errorHandler(req, res, Failure::NotFound);
            return res;
        }
        route->second(req, res);
        if (res.status == 0)
            res.status = 200;
    } catch (...) {
        res = Response();
        res.status = 500;
        if (errorHandler)
            errorHandler(req, res, Failure::Exception);
    }
    return res;
}

HttpServer::HttpServer(const Limits &limits) : impl(std::make_unique<Impl>(limits)) {}

HttpServer::~HttpServer() = default;

void HttpServer::route(const std::string &method, const std::string &path, Handler handler)
{
    impl->routes[{method, path}] = std::move(handler);
}

void HttpServer::setBodyCheck(BodyCheck check)
{
    impl->bodyCheck = std::move(check);
}

void HttpServer::setErrorHandler(ErrorHandler handler)
{
    impl->errorHandler = std::move(handler);
}

void HttpServer::setLogger(Logger logger)
{
    impl->logger = std::move(logger);
}

int HttpServer::bind(const std::string &host, int port)
{
    error_code ec;
    tcp::resolver resolver(impl->ioc);
    const auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
    if (ec || endpoints.empty())
        return -1;
    const tcp::endpoint endpoint = endpoints.begin()->endpoint();
    tcp::acceptor &acceptor = impl->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    // A burst of connections should queue, not be refused.
    if (!ec)
        acceptor.listen(128, ec);
    if (ec) {
        error_code ignored;
        acceptor.close(ignored);
        return -1;
    }
    return acceptor.local_endpoint(ec).port();
}

bool HttpServer::run()
{
    if (!impl->acceptor.is_open())
        return false;
    impl->accept();
    auto loop = [this] {
        while (!impl->ioc.stopped()) {
            try {
                impl->ioc.run();
            } catch (const std::exception &) {
                // A handler's failure ends its connection, not the server.
            }
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < impl->limits.threads; ++i)
        threads.emplace_back(loop);
    loop();
    // Handlers already running finish, so that their transactions complete.
    for (std::thread &t : threads)
        t.join();
    return true;
}

void HttpServer::stop()
{
    impl->stopping = true;
    impl->ioc.stop();
}

} // namespace backend
