#include "server.h"

#include "crypto.h"
#include "http_server.h"
#include "store.h"

#include <nlohmann/json.hpp>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

namespace backend {

namespace {

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
constexpr size_t kMaxJsonBody = size_t{1} << 20;
// Our requests nest two levels; the limit only keeps pathological documents cheap.
constexpr int kMaxJsonDepth = 64;
// The password-reset form carries a ticket and a password.
constexpr size_t kMaxFormBody = size_t{64} << 10;
// Threads serving every connection and running the handlers, each with its database connection.
// More only add wake-ups on two cores: with 16, GET /v1/user ran at half the rate of 8.
constexpr size_t kThreads = 8;
// Keep-alive connections wait this long for their next request.
constexpr int kIdleSeconds = 5;

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

// Each worker thread keeps one connection, opened on first use: opening and closing one per
// request costs a checkpoint and several syncs every time.
std::unique_ptr<Store> &workerStore()
{
    thread_local std::unique_ptr<Store> store;
    return store;
}

std::string lower(std::string_view text)
{
    return emailKey(text);
}

bool allDigits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

size_t bodyCap(const Request &req)
{
    return req.path == "/v1/reset-password" || req.path == "/reset-password" ? kMaxFormBody
                                                                             : kMaxJsonBody;
}

void refuseFraming(Response &res)
{
    res.set_header("Connection", "close");
    sendError(res, 400, "invalid-request", "The request's framing is not supported.");
}

// Checks a request's framing before any of its body is read: the most body bytes it may bring,
// or nullopt when it is refused with the answer in res.
std::optional<size_t> bodyLimit(const Request &req, Response &res)
{
    auto refuse = [&](int status, const char *error, const char *message) {
        res.closeConnection = true; // the body stays unread
        res.set_header("Connection", "close");
        sendError(res, status, error, message);
        return std::nullopt;
    };
    const std::string encoding = req.get_header_value("Content-Encoding");
    if (!encoding.empty() && lower(encoding) != "identity")
        return refuse(415, "unsupported-media-type", "Compressed request bodies are not accepted.");
    const size_t lengths = req.get_header_value_count("Content-Length");
    if (req.has_header("Transfer-Encoding") &&
        (lengths > 0 || lower(req.get_header_value("Transfer-Encoding")) != "chunked"))
        return refuse(400, "invalid-request", "The request's framing is not supported.");
    const size_t cap = bodyCap(req);
    if (lengths > 0) {
        const std::string length = req.get_header_value("Content-Length");
        for (size_t i = 0; i < lengths; ++i) {
            if (req.get_header_value("Content-Length", i) != length)
                return refuse(400, "invalid-request", "The request's framing is not supported.");
        }
        if (!allDigits(length) || length.size() > 18)
            return refuse(400, "invalid-request", "The request's framing is not supported.");
        if (std::stoull(length) > cap)
            return refuse(413, "payload-too-large", "The request body is too large.");
    }
    // Chunked bodies, and bodies that run until the connection closes, are cut off while they
    // are read, with room to spare: the handlers refuse what is past the cap itself.
    return lengths > 0 ? cap : 2 * cap;
}

bool isLoopbackHost(std::string_view host)
{
    if (host == "localhost" || host == "[::1]")
        return true;
    int parts = 0;
    size_t start = 0;
    while (start <= host.size()) {
        const size_t dot = std::min(host.find('.', start), host.size());
        const std::string_view part = host.substr(start, dot - start);
        if (!allDigits(part) || part.size() > 3 || std::stoi(std::string(part)) > 255 ||
            (parts == 0 && part != "127"))
            return false;
        ++parts;
        start = dot + 1;
    }
    return parts == 4;
}

class Backend
{
public:
    Backend(const ServerOptions &opts, std::string publicAddress)
        : options(opts), publicUrl(std::move(publicAddress))
    {
    }

    void install(HttpServer &svr)
    {
        svr.route("POST", "/v1/signin/email-password", guarded(&Backend::signIn));
        svr.route("POST", "/v1/user/password/reset", guarded(&Backend::requestReset));
        svr.route("POST", "/v1/token", guarded(&Backend::refresh));
        svr.route("GET", "/v1/user", guarded(&Backend::user));
        svr.route("GET", "/v1/get_dashboard_rcc", guarded(&Backend::dashboard));
        svr.route("POST", "/v1/clear_rcc_update", guarded(&Backend::clearUpdate));
        // Also outside /v1, where a local set-up may send the browser after the change; the
        // page's form posts back to where it was served from.
        for (const char *path : {"/v1/reset-password", "/reset-password"}) {
            svr.route("GET", path, guarded(&Backend::resetPage));
            svr.route("POST", path, guarded(&Backend::completeReset));
        }
    }

private:
    using Method = void (Backend::*)(Store &, const Request &, Response &);

    // Storage failures become a 500 with a JSON body, and the worker opens a fresh connection
    // for its next request.
    HttpServer::Handler guarded(Method method)
    {
        return [this, method](const Request &req, Response &res) {
            std::unique_ptr<Store> &store = workerStore();
            try {
                if (!store)
                    store = std::make_unique<Store>(options.dbPath, false);
                (this->*method)(*store, req, res);
            } catch (const std::exception &e) {
                store.reset();
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
        // One attempt per account at a time, from the lock check to the recorded outcome:
        // concurrent guesses cannot all be checked before the lock, and once it holds, every
        // guess, right or wrong, gets the same answer unchecked.
        std::lock_guard<std::mutex> oneAtATime(
            signInGuards[std::hash<std::string>{}(user->id) % signInGuards.size()]);
        if (const std::int64_t lockedFor = store.lockRemainingMs(user->id)) {
            tooManyAttempts(res, lockedFor);
            return;
        }
        if (!crypto::verifyPassword(password, user->passwordHash)) {
            store.recordFailedSignIn(user->id, options.lockoutThreshold,
                                     std::int64_t(options.lockoutSeconds) * 1000);
            sendError(res, 401, "invalid-email-password", "Incorrect e-mail or password.");
            return;
        }
        const Session session = store.signIn(user->id, options.tokenLifetimeSeconds);
        sendJson(res, 200,
                 Value::object(
                     {{"session", Value::object({{"accessToken", session.accessToken},
                                                 {"accessTokenExpiresIn", session.lifetimeSeconds},
                                                 {"refreshToken", session.refreshToken},
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
        const auto bundle = store.serveBundle(u->id);
        if (!bundle) {
            sendJson(res, 404, Value::object({{"error", kNoDashboard}}));
            return;
        }
        // The detached signature travels with the bundle; unsigned bundles carry none.
        const std::string signature =
            bundle->signature.empty() ? std::string() : crypto::base64Encode(bundle->signature);
        if (u->format == DeliveryFormat::Base64) {
            Value body = Value::object({{"payload_base64", crypto::base64Encode(bundle->data)}});
            if (!signature.empty())
                body["signature"] = signature;
            sendJson(res, 200, body);
        } else {
            res.status = 200;
            res.set_header("Cache-Control", "no-store");
            if (!signature.empty())
                res.set_header("X-Bundle-Signature", signature);
            res.set_content(bundle->data, "application/octet-stream");
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
        // Answered alike either way: the client's part is done; a flag still raised announces
        // a bundle published after its fetch.
        store.acknowledgeUpdate(u->id);
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
        if (!redirectTo.empty() &&
            !redirectAllowed(redirectTo, publicUrl, options.redirectOrigins)) {
            sendError(res, 400, "redirect-not-allowed",
                      "The redirect address is not on an allowed origin.");
            return;
        }
        const auto u = store.userByEmail(email);
        if (!u) {
            sendError(res, 400, "EMAIL_NOT_FOUND", "No account is registered with this e-mail.");
            return;
        }
        std::string link;
        store.requestPasswordReset(*u, redirectTo, [&](const std::string &ticket) {
            link = publicUrl + "/v1/reset-password?ticket=" + ticket;
            if (!redirectTo.empty())
                link += "&redirectTo=" + encodeQueryValue(redirectTo);
            return link;
        });
        // The operator's console is where the mail is delivered, and the only place its
        // ticket is ever shown.
        logLine(timestamp() + " password-reset mail to " + printable(u->email) + ": " + link);
        sendJson(res, 200, Value::object());
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
                           : store.completePasswordReset(
                                 ticket, crypto::hashPassword(password, options.hashIterations));
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
    std::string publicUrl;
    // Striped by account: accounts sharing a stripe only wait for each other's checks.
    std::array<std::mutex, 64> signInGuards;
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

std::optional<std::string> webOrigin(std::string_view url)
{
    // Browsers read a backslash as a slash and drop some characters: refuse what they might
    // read differently from us.
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '\\')
            return std::nullopt;
    }
    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos)
        return std::nullopt;
    const std::string scheme = lower(url.substr(0, schemeEnd));
    if (scheme != "http" && scheme != "https")
        return std::nullopt;
    const std::string_view rest = url.substr(schemeEnd + 3);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.empty() || authority.find_first_of("@%") != std::string_view::npos)
        return std::nullopt;
    std::string_view host = authority, port;
    const size_t colon = authority.rfind(':');
    if (authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos || (close + 1 < authority.size() && colon != close + 1))
            return std::nullopt;
        host = authority.substr(0, close + 1);
        port = authority.substr(std::min(close + 2, authority.size()));
    } else if (colon != std::string_view::npos) {
        if (authority.find(':') != colon)
            return std::nullopt;
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty() || (!port.empty() && (!allDigits(port) || port.size() > 5)))
        return std::nullopt;
    const int number = port.empty() ? (scheme == "https" ? 443 : 80) : std::stoi(std::string(port));
    if (number < 1 || number > 65535)
        return std::nullopt;
    return scheme + "://" + lower(host) + ":" + std::to_string(number);
}

std::optional<std::string> normalizePublicUrl(std::string_view url)
{
    if (!webOrigin(url) || url.find_first_of("?#") != std::string_view::npos)
        return std::nullopt;
    while (url.back() == '/')
        url.remove_suffix(1);
    return std::string(url);
}

bool redirectAllowed(std::string_view url, const std::string &publicUrl,
                     const std::vector<std::string> &allowedOrigins)
{
    const auto origin = webOrigin(url);
    if (!origin)
        return false;
    if (origin == webOrigin(publicUrl))
        return true;
    if (allowedOrigins.empty()) {
        const size_t hostStart = origin->find("://") + 3;
        return isLoopbackHost(
            std::string_view(*origin).substr(hostStart, origin->rfind(':') - hostStart));
    }
    for (const std::string &allowed : allowedOrigins) {
        if (origin == webOrigin(allowed))
            return true;
    }
    return false;
}

namespace {

// Signals are taken by a dedicated thread (sigwait) so that stopping the server happens outside
// a signal handler; the mask is inherited by every worker thread created later.
sigset_t blockStopSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return stopSignals;
}

// Waiting connections cost a descriptor each: take what the system allows, and keep room for
// the workers' database files and the listening socket.
size_t maxParkedConnections()
{
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
        ::setrlimit(RLIMIT_NOFILE, &files);
        ::getrlimit(RLIMIT_NOFILE, &files);
    }
    return files.rlim_cur > 1024 ? std::min<size_t>(files.rlim_cur - 512, 16384) : 512;
}

void installLogAndErrors(HttpServer &svr)
{
    svr.setBodyCheck(bodyLimit);
    svr.setLogger([](const Request &req, const Response &res) {
        // The path only: query strings and bodies can carry secrets.
        logLine(timestamp() + " " + printable(req.method) + " " + printable(req.path) + " " +
                std::to_string(res.status));
    });
    svr.setErrorHandler([](const Request &req, Response &res, HttpServer::Failure failure) {
        switch (failure) {
        case HttpServer::Failure::BodyTooLarge:
            sendError(res, 413, "payload-too-large", "The request body is too large.");
            return;
        case HttpServer::Failure::TimedOut:
            sendError(res, 408, "request-timeout", "The request did not arrive in time.");
            return;
        case HttpServer::Failure::BadFraming:
            refuseFraming(res);
            return;
        case HttpServer::Failure::Exception:
            sendError(res, 500, "internal-error", "The server could not complete the request.");
            return;
        case HttpServer::Failure::NotFound:
        case HttpServer::Failure::BadRequest:
            break;
        }
        const bool notFound = failure == HttpServer::Failure::NotFound;
        sendError(res, notFound ? 404 : 400, notFound ? "not-found" : "request-failed",
                  "No answer for " + printable(req.method) + " " + printable(req.path) + ".");
    });
}

} // namespace

int runServer(const ServerOptions &options)
{
    try {
        Store init(options.dbPath, true);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }

    sigset_t stopSignals = blockStopSignals();
    HttpServer::Limits limits;
    limits.threads = kThreads;
    limits.maxWaiting = maxParkedConnections();
    limits.maxPerPeer = static_cast<size_t>(options.maxPeerConnections);
    limits.requestTimeoutSeconds = options.requestTimeoutSeconds;
    limits.idleSeconds = kIdleSeconds;
    HttpServer svr(limits);
    installLogAndErrors(svr);

    const int port = svr.bind(options.host, options.port);
    if (port <= 0) {
        std::fprintf(stderr, "error: cannot listen on %s port %d\n", options.host.c_str(),
                     options.port);
        return 1;
    }

    const std::string hostPart =
        options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
    const std::string authority = hostPart + ":" + std::to_string(port);
    Backend backend(options, options.publicUrl.empty() ? "http://" + authority : options.publicUrl);
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
        // Also before run(): it then returns at once.
        if (!finished)
            svr.stop();
    });

    const bool ok = svr.run();
    finished = true;
    // Wakes sigwait if no signal came. SIGTERM is blocked in every thread and only collected by
    // that sigwait, so it ends nothing.
    pthread_kill(stopper.native_handle(), SIGTERM); // NOLINT(bugprone-bad-signal-to-kill-thread)
    stopper.join();

    if (!options.portFile.empty())
        std::remove(options.portFile.c_str());
    logLine("Corvalen local backend stopped");
    return ok ? 0 : 1;
}

} // namespace backend
