#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace backend {

// A request as the route handlers see it.
struct Request
{
    std::string method;
    std::string path; // percent-decoded, without the query
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // From the query, then from a form-encoded body; names and values decoded.
    std::multimap<std::string, std::string> params;

    // Header names match whatever their case; index picks among repeated ones.
    bool has_header(std::string_view name) const;
    std::string get_header_value(std::string_view name, std::size_t index = 0) const;
    std::size_t get_header_value_count(std::string_view name) const;
    // The first value of the parameter, or empty.
    std::string get_param_value(const std::string &name) const;
};

struct Response
{
    int status = 0; // 0: not answered yet
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The connection ends after this answer; what the client still sends is read and dropped
    // for a while first, so that it sees the answer rather than a reset.
    bool closeConnection = false;

    void set_header(std::string name, std::string value);
    void set_content(std::string content, std::string contentType);
    void set_redirect(const std::string &url, int code);
};

// An asynchronous HTTP/1.1 server: a fixed pool of threads reads and writes every connection,
// each on a strand of its own, and runs the route handlers in between. No thread ever waits for
// a client, so one that reads or sends slowly costs a socket and a buffer, never a thread.
// Deadlines: a request's line and headers within requestTimeoutSeconds of their first byte, its
// body within as long again, an answer within writeTimeoutSeconds.
class HttpServer
{
public:
    struct Limits
    {
        // Also the most handlers running at once.
        std::size_t threads = 8;
        // Connections waiting for a request (idle or sending their head); past it the one
        // waiting longest is closed.
        std::size_t maxWaiting = 512;
        // Open connections of one peer address; past it new ones are closed at once.
        std::size_t maxPerPeer = 256;
        int requestTimeoutSeconds = 10;
        int idleSeconds = 5;
        int writeTimeoutSeconds = 60;
    };

    enum class Failure
    {
        NotFound,     // no route for the method and path
        BadRequest,   // the request could not be parsed
        BadFraming,   // conflicting or malformed Content-Length or Transfer-Encoding
        BodyTooLarge, // the body went past the limit given by the body check
        TimedOut,     // the body did not arrive in time
        Exception     // a handler threw something other than a std::exception
    };

    using Handler = std::function<void(const Request &, Response &)>;
    // Called once a request's head is there, before any of its body is read: the most body
    // bytes it may bring, or nullopt when it is refused with the answer in the response.
    using BodyCheck = std::function<std::optional<std::size_t>(const Request &, Response &)>;
    // Fills in the answer to a failed request, and to one a handler left without a body.
    using ErrorHandler = std::function<void(const Request &, Response &, Failure)>;
    // Called for every answer but those to heads that never arrived whole.
    using Logger = std::function<void(const Request &, const Response &)>;

    explicit HttpServer(const Limits &limits);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    void route(const std::string &method, const std::string &path, Handler handler);
    void setBodyCheck(BodyCheck check);
    void setErrorHandler(ErrorHandler handler);
    void setLogger(Logger logger);

    // Listens on host and port (0: a free one); the port, or -1.
    int bind(const std::string &host, int port);
    // Serves until stop(); false when the server could not run.
    bool run();
    // From any thread, also before run(), which then returns at once.
    void stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace backend
