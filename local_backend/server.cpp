#include "server.h"

#include "crypto.h"
#include "store.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

namespace backend {

namespace {

using httplib::Request;
using httplib::Response;
// Requests are parsed into sorted maps (no quadratic member lookups on hostile bodies); replies
// keep the member order they are written in.
using Json = nlohmann::json;
using Value = nlohmann::ordered_json;

const char *const kTooManyAttempts =
    "TOO_MANY_ATTEMPTS_TRY_LATER : Access to this account has been temporarily disabled due to "
    "many failed login attempts. You can immediately restore it by resetting your password or "
    "you can try again later.";
const char *const kNoDashboard = "No dashboard has been published for this account.";

// JSON requests are a few hundred bytes; anything near this is abuse, not a sign-in.
constexpr size_t kMaxJsonBody = 1024 * 1024;
// Our requests nest two levels; the limit only keeps pathological documents cheap.
constexpr int kMaxJsonDepth = 64;
// Bounds what a single request may make the server buffer.
constexpr size_t kMaxPayload = 64 * 1024 * 1024;

std::mutex logMutex;

std::string timestamp()
{
    const std::int64_t ms = nowMs();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

// Paths arrive percent-decoded; control characters would let a caller forge log lines.
std::string printable(const std::string &text)
{
    std::string out = text;
    for (char &c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            c = '?';
    }
    return out;
}

void logLine(const std::string &line)
{
    std::lock_guard<std::mutex> lock(logMutex);
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

std::string serialize(const Value &value)
{
    // Texts such as request paths may hold invalid UTF-8; replace it rather than fail the reply.
    return value.dump(-1, ' ', false, Value::error_handler_t::replace);
}

Value userRecord(const User &user)
{
    return {{"id", user.id},
            {"email", user.email},
            {"metadata", {{"rcc_update_available", user.updateAvailable}}}};
}

namespace {

void sendJson(Response &res, int status, const Value &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(serialize(body), "application/json; charset=utf-8");
}

void sendError(Response &res, int status, const std::string &error, const std::string &message)
{
    Value body = {{"error", error}};
    if (!message.empty())
        body["message"] = message;
    sendJson(res, status, body);
}

void invalidRequest(Response &res, const std::string &message)
{
    sendError(res, 400, "invalid-request", message);
}

struct TooDeep
{
};

// The body as a JSON object; otherwise answers the request itself and returns nullopt.
std::optional<Json> jsonObjectBody(const Request &req, Response &res)
{
    if (req.body.size() > kMaxJsonBody) {
        sendError(res, 413, "payload-too-large", "The request body is too large.");
        return std::nullopt;
    }
    Json doc;
    try {
        doc = Json::parse(req.body, [](int depth, Json::parse_event_t, Json &) {
            if (depth > kMaxJsonDepth)
                throw TooDeep{};
            return true;
        });
    } catch (const Json::parse_error &e) {
        invalidRequest(res, "The request body is not valid JSON (at byte " +
                                std::to_string(e.byte) + ").");
        return std::nullopt;
    } catch (const TooDeep &) {
        invalidRequest(res, "The request body is nested too deeply.");
        return std::nullopt;
    }
    if (!doc.is_object()) {
        invalidRequest(res, "The request body must be a JSON object.");
        return std::nullopt;
    }
    return doc;
}

bool stringMember(const Json &object, const char *name, std::string &out, Response &res)
{
    const auto member = object.find(name);
    if (member == object.end() || !member->is_string()) {
        invalidRequest(res, std::string("The member \"") + name + "\" must be a string.");
        return false;
    }
    out = member->get<std::string>();
    return true;
}

// The user behind "Authorization: Bearer <token>"; otherwise answers 401 and returns nullopt.
std::optional<User> authenticate(Store &store, const Request &req, Response &res)
{
    std::string header = req.get_header_value("Authorization");
    std::optional<User> user;
    if (header.size() > 7 && emailKey(header.substr(0, 7)) == "bearer ") {
        const size_t start = header.find_first_not_of(' ', 7);
        const size_t end = header.find_last_not_of(" \t");
        if (start != std::string::npos && end >= start) {
            if (auto id = store.userForAccessToken(header.substr(start, end - start + 1)))
                user = store.userById(*id);
        }
    }
    if (!user) {
        res.set_header("WWW-Authenticate", "Bearer");
        sendError(res, 401, "invalid-token", "The access token is missing, invalid or expired.");
    }
    return user;
}

std::string htmlEscape(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void sendPage(Response &res, int status, const std::string &title, const std::string &content)
{
    res.status = status;
    // The ticket travels in the address of this page: keep it out of caches and referrers.
    res.set_header("Cache-Control", "no-store");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_content("<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>" +
                        htmlEscape(title) + "</title></head>\n<body><h1>" + htmlEscape(title) +
                        "</h1>\n" + content + "\n</body></html>\n",
                    "text/html; charset=utf-8");
}

bool isWebAddress(const std::string &url)
{
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

class Backend
{
public:
    Backend(const ServerOptions &opts, std::string fallbackAuthority)
        : options(opts), authority(std::move(fallbackAuthority))
    {
    }

    void install(httplib::Server &svr)
    {
        svr.Post("/v1/signin/email-password", guarded(&Backend::signIn));
        svr.Post("/v1/user/password/reset", guarded(&Backend::requestReset));
        svr.Post("/v1/token", guarded(&Backend::refresh));
        svr.Get("/v1/user", guarded(&Backend::user));
        svr.Get("/v1/get_dashboard_rcc", guarded(&Backend::dashboard));
        svr.Post("/v1/clear_rcc_update", guarded(&Backend::clearUpdate));
        svr.Get("/v1/reset-password", guarded(&Backend::resetPage));
        // Also outside /v1, where a local set-up may send the browser after the change.
        svr.Get("/reset-password", guarded(&Backend::resetPage));
        svr.Post("/v1/reset-password", guarded(&Backend::completeReset));
    }

private:
    using Method = void (Backend::*)(Store &, const Request &, Response &);

    // Each request gets its own connection, so concurrent requests and operator commands see
    // each other's writes; storage failures become a 500 with a JSON body.
    httplib::Server::Handler guarded(Method method)
    {
        return [this, method](const Request &req, Response &res) {
            try {
                Store store(options.dbPath, false);
                (this->*method)(store, req, res);
            } catch (const std::exception &e) {
                logLine(timestamp() + " error: " + printable(e.what()));
                sendError(res, 500, "internal-error", "The server could not complete the request.");
            }
        };
    }

    void signIn(Store &store, const Request &req, Response &res)
    {
        const auto body = jsonObjectBody(req, res);
        std::string email, password;
        if (!body || !stringMember(*body, "email", email, res) ||
            !stringMember(*body, "password", password, res))
            return;
        const auto user = store.userByEmail(email);
        if (!user) {
            sendError(res, 400, "EMAIL_NOT_FOUND", "No account is registered with this e-mail.");
            return;
        }
        const std::int64_t now = nowMs();
        if (user->lockedUntilMs > now) {
            tooManyAttempts(res, user->lockedUntilMs - now);
            return;
        }
        if (!crypto::verifyPassword(password, user->passwordHash)) {
            store.recordFailedSignIn(user->id, options.lockoutThreshold,
                                     nowMs() + std::int64_t(options.lockoutSeconds) * 1000);
            sendError(res, 401, "invalid-email-password", "Incorrect e-mail or password.");
            return;
        }
        const auto session = store.signIn(user->id, options.tokenLifetimeSeconds);
        if (!session) {
            tooManyAttempts(res, std::int64_t(options.lockoutSeconds) * 1000);
            return;
        }
        sendJson(res, 200,
                 Value::object(
                     {{"session", Value::object({{"accessToken", session->accessToken},
                                                 {"accessTokenExpiresIn", session->lifetimeSeconds},
                                                 {"refreshToken", session->refreshToken},
                                                 {"user", userRecord(*user)}})}}));
    }

    static void tooManyAttempts(Response &res, std::int64_t remainingMs)
    {
        res.set_header("Retry-After", std::to_string((remainingMs + 999) / 1000));
        sendJson(res, 429, Value::object({{"error", kTooManyAttempts}}));
    }

    void refresh(Store &store, const Request &req, Response &res)
    {
        const auto body = jsonObjectBody(req, res);
        std::string token;
        if (!body || !stringMember(*body, "refreshToken", token, res))
            return;
        const auto session = store.rotate(token, options.tokenLifetimeSeconds);
        if (!session) {
            sendError(res, 401, "invalid-refresh-token",
                      "The refresh token is invalid, expired or already used.");
            return;
        }
        sendJson(res, 200,
                 Value::object({{"accessToken", session->accessToken},
                                {"accessTokenExpiresIn", session->lifetimeSeconds},
                                {"refreshToken", session->refreshToken}}));
    }

    void user(Store &store, const Request &req, Response &res)
    {
        if (const auto u = authenticate(store, req, res))
            sendJson(res, 200, userRecord(*u));
    }

    void dashboard(Store &store, const Request &req, Response &res)
    {
        const auto u = authenticate(store, req, res);
        if (!u)
            return;
        const std::string asked = req.get_param_value("user_id");
        if (asked.empty()) {
            invalidRequest(res, "The query parameter user_id is required.");
            return;
        }
        if (asked != u->id) {
            sendJson(res, 403,
                     Value::object({{"error", "This dashboard belongs to another account."}}));
            return;
        }
        const auto data = store.bundle(u->id);
        if (!data) {
            sendJson(res, 404, Value::object({{"error", kNoDashboard}}));
            return;
        }
        res.set_header("Cache-Control", "no-store");
        if (u->format == DeliveryFormat::Base64) {
            sendJson(res, 200, Value::object({{"payload_base64", crypto::base64Encode(*data)}}));
        } else {
            res.status = 200;
            res.set_content(*data, "application/octet-stream");
        }
    }

    void clearUpdate(Store &store, const Request &req, Response &res)
    {
        const auto u = authenticate(store, req, res);
        if (!u)
            return;
        // The body carries nothing; an empty one is as good as "{}".
        if (!req.body.empty() && !jsonObjectBody(req, res))
            return;
        store.clearUpdateFlag(u->id);
        sendJson(res, 200, Value::object({{"ok", true}}));
    }

    void requestReset(Store &store, const Request &req, Response &res)
    {
        const auto body = jsonObjectBody(req, res);
        std::string email, redirectTo;
        if (!body || !stringMember(*body, "email", email, res))
            return;
        if (const auto opts = body->find("options"); opts != body->end() && !opts->is_null()) {
            if (!opts->is_object()) {
                invalidRequest(res, "The member \"options\" must be an object.");
                return;
            }
            if (opts->contains("redirectTo") && !stringMember(*opts, "redirectTo", redirectTo, res))
                return;
        }
        const auto u = store.userByEmail(email);
        if (!u) {
            sendError(res, 400, "EMAIL_NOT_FOUND", "No account is registered with this e-mail.");
            return;
        }
        const std::string base = "http://" + linkAuthority(req) + "/v1/reset-password?ticket=";
        store.requestPasswordReset(*u, redirectTo, [&](const std::string &ticket) {
            std::string link = base + ticket;
            if (!redirectTo.empty())
                link += "&redirectTo=" + encodeQueryValue(redirectTo);
            return link;
        });
        sendJson(res, 200, Value::object());
    }

    // Links in mails point where the client reached us, unless the Host header looks odd.
    std::string linkAuthority(const Request &req) const
    {
        const std::string host = req.get_header_value("Host");
        if (host.empty() || host.size() > 255)
            return authority;
        for (const char c : host) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':' ||
                            c == '[' || c == ']';
            if (!ok)
                return authority;
        }
        return host;
    }

    void resetPage(Store &store, const Request &req, Response &res)
    {
        const std::string ticket = req.get_param_value("ticket");
        if (ticket.empty()) {
            sendPage(res, 200, "Reset password",
                     "<p>To choose a new password, open the link from your password-reset "
                     "mail. If you have just chosen one, sign in with it.</p>");
            return;
        }
        if (!store.resetTicketValid(ticket)) {
            sendPage(res, 400, "Reset password",
                     "<p>This reset link is invalid, has expired or has already been used.</p>");
            return;
        }
        sendPage(res, 200, "Reset password",
                 "<form method=\"post\" action=\"reset-password\">\n"
                 "<input type=\"hidden\" name=\"ticket\" value=\"" +
                     htmlEscape(ticket) +
                     "\">\n<p><label>New password <input type=\"password\" name=\"password\" "
                     "autocomplete=\"new-password\" required></label></p>\n"
                     "<p><button type=\"submit\">Change password</button></p>\n</form>");
    }

    void completeReset(Store &store, const Request &req, Response &res)
    {
        const std::string ticket = req.get_param_value("ticket");
        const std::string password = req.get_param_value("password");
        if (password.empty()) {
            sendPage(res, 400, "Reset password", "<p>The new password must not be empty.</p>");
            return;
        }
        const auto redirectTo =
            ticket.empty() ? std::nullopt
                           : store.completePasswordReset(ticket, crypto::hashPassword(password));
        if (!redirectTo) {
            sendPage(res, 400, "Reset password",
                     "<p>This reset link is invalid, has expired or has already been used.</p>");
            return;
        }
        // Only the address recorded with the ticket is followed, never one from the form.
        if (isWebAddress(*redirectTo)) {
            res.set_redirect(*redirectTo, 303);
            return;
        }
        sendPage(res, 200, "Password changed",
                 "<p>Your password has been changed. You can sign in with it now.</p>");
    }

    ServerOptions options;
    std::string authority;
};

bool writePortFile(const std::string &path, int port)
{
    // Written under a temporary name and renamed, so a reader never sees a partial number.
    const std::string temp = path + ".tmp" + std::to_string(getpid());
    std::FILE *f = std::fopen(temp.c_str(), "w");
    if (!f)
        return false;
    const bool ok = std::fprintf(f, "%d\n", port) > 0;
    if (std::fclose(f) != 0 || !ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

std::string encodeQueryValue(const std::string &value)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') ||
                          std::string_view("-._~:/@!$'()*,;").find(ch) != std::string_view::npos;
        if (keep) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out;
}

int runServer(const ServerOptions &options)
{
    try {
        Store init(options.dbPath, true);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }

    // Signals are taken by a dedicated thread (sigwait) so that stopping the server happens
    // outside a signal handler; the mask is inherited by every worker thread created later.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    httplib::Server svr;
    // A connection holds its worker while it idles in keep-alive; with the library's 8 workers
    // a client's idle connections would starve new ones.
    svr.new_task_queue = [] { return new httplib::ThreadPool(64); };
    svr.set_keep_alive_max_count(100000);
    // Idle keep-alive connections hold up a stop for this long (the library waits them out).
    svr.set_keep_alive_timeout(2);
    svr.set_payload_max_length(kMaxPayload);
    svr.set_write_timeout(60, 0);
    int listenFd = -1;
    svr.set_socket_options([&listenFd](socket_t sock) {
        httplib::default_socket_options(sock);
        listenFd = sock;
    });
    svr.set_logger([](const Request &req, const Response &res) {
        // The path only: query strings and bodies can carry secrets.
        logLine(timestamp() + " " + printable(req.method) + " " + printable(req.path) + " " +
                std::to_string(res.status));
    });
    svr.set_error_handler(
        httplib::Server::HandlerWithResponse([](const Request &req, Response &res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            const std::string error = res.status == 404   ? "not-found"
                                      : res.status == 413 ? "payload-too-large"
                                                          : "request-failed";
            sendError(res, res.status, error,
                      "No answer for " + printable(req.method) + " " + printable(req.path) + ".");
            return httplib::Server::HandlerResponse::Handled;
        }));
    svr.set_exception_handler([](const Request &, Response &res, std::exception_ptr) {
        sendError(res, 500, "internal-error", "The server could not complete the request.");
    });

    const int port = options.port == 0
                         ? svr.bind_to_any_port(options.host)
                         : (svr.bind_to_port(options.host, options.port) ? options.port : -1);
    if (port <= 0) {
        std::fprintf(stderr, "error: cannot listen on %s port %d\n", options.host.c_str(),
                     options.port);
        return 1;
    }
    // The library's accept backlog is tiny; a burst of connections should queue, not retry.
    if (listenFd >= 0)
        ::listen(listenFd, 128);

    const std::string hostPart =
        options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
    const std::string authority = hostPart + ":" + std::to_string(port);
    Backend backend(options, authority);
    backend.install(svr);

    if (!options.portFile.empty() && !writePortFile(options.portFile, port)) {
        std::fprintf(stderr, "error: cannot write port file %s\n", options.portFile.c_str());
        return 1;
    }
    logLine("Corvalen local backend listening on http://" + authority);

    std::atomic<bool> finished{false};
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        // A signal can arrive before the accept loop runs; stop() only acts on a running one.
        while (!finished) {
            if (svr.is_running()) {
                svr.stop();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    const bool ok = svr.listen_after_bind();
    finished = true;
    pthread_kill(stopper.native_handle(), SIGTERM); // wakes sigwait if no signal came
    stopper.join();

    if (!options.portFile.empty())
        std::remove(options.portFile.c_str());
    logLine("Corvalen local backend stopped");
    return ok ? 0 : 1;
}

} // namespace backend
