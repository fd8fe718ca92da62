// Operator command line of the local backend: one sub-command per task, all working on the
// same SQLite file, so they can run while a server is serving it.

#include "crypto.h"
#include "server.h"
#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace backend;

namespace {

constexpr int kUsageError = 2;
constexpr int kFailure = 1;

const char *const kUsage =
    "Usage: corvalen_local_backend <command> [options]\n"
    "\n"
    "Commands:\n"
    "  serve --db PATH [--host 127.0.0.1] [--port N] [--port-file FILE]\n"
    "        [--token-lifetime SECONDS] [--lockout-threshold N] [--lockout-seconds S]\n"
    "        [--public-url URL] [--redirect-origins URL,...] [--request-timeout SECONDS]\n"
    "        [--hash-iterations N] [--max-peer-connections N]\n"
    "  create-user --db PATH --email E [--password-file FILE] [--id ID] [--hash-iterations N]\n"
    "  set-password --db PATH --email E [--password-file FILE] [--hash-iterations N]\n"
    "  publish-bundle --db PATH --email E --file BUNDLE.rcc [--format raw|base64]\n"
    "        [--signing-key KEY.pem]\n"
    "  set-format --db PATH --email E --format raw|base64\n"
    "  outbox --db PATH\n"
    "  show-user --db PATH --email E\n"
    "  create-signing-key --signing-key KEY.pem\n"
    "  show-public-key --signing-key KEY.pem\n"
    "  sign-bundle --signing-key KEY.pem --file BUNDLE.rcc\n"
    "\n"
    "Passwords are read from the first line of --password-file, else of standard input.\n"
    "Public keys and signatures are printed in base64, for CORVALEN_BUNDLE_PUBLIC_KEY and the\n"
    "X-Bundle-Signature header.\n";

struct UsageError
{
    std::string message;
};

struct Failure
{
    std::string message;
};

class Options
{
public:
    Options(int argc, char **argv, const std::set<std::string> &allowed)
    {
        for (int i = 2; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg.rfind("--", 0) != 0 || arg.size() == 2)
                throw UsageError{"unexpected argument '" + arg + "'"};
            std::string name = arg.substr(2), value;
            const size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                throw UsageError{"option --" + name + " needs a value"};
            }
            if (name == "password")
                throw UsageError{"--password is not accepted (command lines are visible to "
                                 "other users): use --password-file FILE or standard input"};
            if (!allowed.count(name))
                throw UsageError{"unknown option --" + name};
            if (values.count(name))
                throw UsageError{"option --" + name + " given twice"};
            values[name] = value;
        }
    }

    std::string required(const std::string &name) const
    {
        const auto it = values.find(name);
        if (it == values.end() || it->second.empty())
            throw UsageError{"missing required option --" + name};
        return it->second;
    }

    std::string optional(const std::string &name, const std::string &fallback = {}) const
    {
        const auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }

    bool has(const std::string &name) const { return values.count(name) != 0; }

    int integer(const std::string &name, int fallback, long min, long max) const
    {
        if (!has(name))
            return fallback;
        const std::string text = values.at(name);
        errno = 0;
        char *end = nullptr;
        const long v = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max ||
            text.find_first_not_of("0123456789") != std::string::npos)
            throw UsageError{"option --" + name + " needs a whole number from " +
                             std::to_string(min) + " to " + std::to_string(max) + ", not '" + text +
                             "'"};
        return static_cast<int>(v);
    }

private:
    std::map<std::string, std::string> values;
};

DeliveryFormat formatOption(const std::string &text)
{
    const auto format = parseFormat(text);
    if (!format)
        throw UsageError{"--format must be raw or base64, not '" + text + "'"};
    return *format;
}

User requireUser(Store &store, const std::string &email)
{
    auto user = store.userByEmail(email);
    if (!user)
        throw Failure{"no account with e-mail " + email};
    return *user;
}

bool isValidUtf8(const std::string &text)
{
    try {
        (void)nlohmann::json(text).dump(); // the strict serializer refuses invalid UTF-8
        return true;
    } catch (const nlohmann::json::type_error &) {
        return false;
    }
}

void checkEmail(const std::string &email)
{
    bool ok = email.size() <= 254 && email.find('@') != std::string::npos && email.front() != '@' &&
              email.back() != '@' && isValidUtf8(email);
    for (const char c : email)
        ok = ok && static_cast<unsigned char>(c) > 0x20 && c != 0x7F;
    if (!ok)
        throw UsageError{"'" + email + "' is not an e-mail address"};
}

// Ids end up in URLs and in the client's cache file names, so they stay path- and URL-safe.
void checkId(const std::string &id)
{
    bool ok = !id.empty() && id.size() <= 128 && id.front() != '.';
    for (const char c : id) {
        ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.');
    }
    if (!ok)
        throw UsageError{"--id may hold letters, digits, '-', '_' and '.' (not first), at most "
                         "128 characters"};
}

// The first line of the file, else of standard input (read without echo from a terminal).
std::string readPassword(const Options &o)
{
    std::string line;
    if (o.has("password-file")) {
        const std::string path = o.required("password-file");
        std::ifstream in(path);
        if (!in)
            throw Failure{"cannot read password file " + path + ": " + std::strerror(errno)};
        std::getline(in, line);
    } else {
        const bool terminal = ::isatty(STDIN_FILENO);
        termios saved{};
        if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            std::fputs("Password: ", stderr);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
            std::getline(std::cin, line);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
            std::fputs("\n", stderr);
        } else {
            std::getline(std::cin, line);
        }
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty())
        throw UsageError{"the password is empty"};
    return line;
}

int hashIterations(const Options &o)
{
    return o.integer("hash-iterations", crypto::kPasswordIterations, 1000, 10000000);
}

std::string isoTime(std::int64_t ms)
{
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

int serve(int argc, char **argv)
{
    const Options o(argc, argv,
                    {"db", "host", "port", "port-file", "token-lifetime", "lockout-threshold",
                     "lockout-seconds", "public-url", "redirect-origins", "request-timeout",
                     "hash-iterations", "max-peer-connections"});
    ServerOptions s;
    s.dbPath = o.required("db");
    s.host = o.optional("host", s.host);
    if (s.host.empty())
        throw UsageError{"--host must not be empty"};
    s.port = o.integer("port", 0, 0, 65535);
    s.portFile = o.optional("port-file");
    s.tokenLifetimeSeconds = o.integer("token-lifetime", s.tokenLifetimeSeconds, 1, 315360000);
    s.lockoutThreshold = o.integer("lockout-threshold", s.lockoutThreshold, 0, 1000000);
    s.lockoutSeconds = o.integer("lockout-seconds", s.lockoutSeconds, 0, 315360000);
    s.requestTimeoutSeconds = o.integer("request-timeout", s.requestTimeoutSeconds, 1, 3600);
    s.hashIterations = hashIterations(o);
    s.maxPeerConnections = o.integer("max-peer-connections", s.maxPeerConnections, 1, 1000000);
    if (o.has("public-url")) {
        const auto url = normalizePublicUrl(o.optional("public-url"));
        if (!url)
            throw UsageError{"--public-url must be an http(s) address without query or fragment"};
        s.publicUrl = *url;
    }
    std::string origins = o.optional("redirect-origins");
    for (size_t start = 0; o.has("redirect-origins") && start <= origins.size();) {
        const size_t comma = std::min(origins.find(',', start), origins.size());
        const std::string origin = origins.substr(start, comma - start);
        if (!webOrigin(origin))
            throw UsageError{"--redirect-origins holds '" + origin +
                             "', which is not an http(s) address"};
        s.redirectOrigins.push_back(origin);
        start = comma + 1;
    }
    return runServer(s);
}

int createUser(int argc, char **argv)
{
    const Options o(argc, argv, {"db", "email", "password-file", "id", "hash-iterations"});
    const std::string db = o.required("db"), email = o.required("email");
    checkEmail(email);
    const std::string id = o.has("id") ? o.optional("id") : crypto::newUserId();
    checkId(id);
    Store store(db, true);
    if (store.userByEmail(email))
        throw Failure{"an account with e-mail " + email + " already exists"};
    if (store.userById(id))
        throw Failure{"an account with id " + id + " already exists"};
    const std::string hash = crypto::hashPassword(readPassword(o), hashIterations(o));
    if (!store.createUser(id, email, hash))
        throw Failure{"an account with that e-mail or id already exists"};
    std::printf("%s\n", id.c_str());
    return 0;
}

int setPassword(int argc, char **argv)
{
    const Options o(argc, argv, {"db", "email", "password-file", "hash-iterations"});
    const std::string db = o.required("db"), email = o.required("email");
    Store store(db, false);
    const User user = requireUser(store, email);
    store.setPassword(user.id, crypto::hashPassword(readPassword(o), hashIterations(o)));
    std::printf("Password of %s changed; lock-out lifted, sessions ended.\n", user.email.c_str());
    return 0;
}

std::string readBundleFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure{"cannot read bundle file " + path + ": " + std::strerror(errno)};
    // Read in pieces up to the limit, so a huge file or an endless pipe is refused cheaply.
    std::string data;
    std::vector<char> piece(std::size_t{1} << 20);
    while (in && data.size() <= kMaxBundleBytes) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        data.append(piece.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad())
        throw Failure{"cannot read bundle file " + path};
    if (data.size() > kMaxBundleBytes)
        throw Failure{"bundle file " + path + " is larger than " +
                      std::to_string(kMaxBundleBytes >> 20) + " MB"};
    if (data.empty())
        throw Failure{"bundle file " + path + " is empty"};
    if (data.compare(0, 4, "qres") != 0)
        std::fprintf(stderr, "warning: %s does not start like a Qt binary resource\n",
                     path.c_str());
    return data;
}

// The private key stays on the operator's side: created 0600, never overwritten.
void writePrivateFile(const std::string &path, const std::string &content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Failure{"cannot create " + path + ": " + std::strerror(errno) +
                      (errno == EEXIST ? " (an existing key is never overwritten)" : "")};
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const bool ok = written == content.size() && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(path.c_str());
        throw Failure{"cannot write " + path + ": " + std::strerror(savedErrno)};
    }
}

crypto::SigningKey readSigningKey(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure{"cannot read signing key " + path + ": " + std::strerror(errno)};
    // A PEM key is a few hundred bytes; do not read a mistaken path to its end.
    std::string pem(16384, '\0');
    in.read(pem.data(), static_cast<std::streamsize>(pem.size()));
    pem.resize(static_cast<size_t>(in.gcount()));
    const auto key = crypto::SigningKey::fromPem(pem);
    if (!key)
        throw Failure{path + " is not an unencrypted Ed25519 private key in PEM form"};
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
        std::fprintf(stderr, "warning: signing key %s can be read by other users (chmod 600 it)\n",
                     path.c_str());
    return *key;
}

int publishBundle(int argc, char **argv)
{
    const Options o(argc, argv, {"db", "email", "file", "format", "signing-key"});
    const std::string db = o.required("db"), email = o.required("email"), path = o.required("file");
    std::optional<DeliveryFormat> format;
    if (o.has("format"))
        format = formatOption(o.optional("format"));
    std::optional<crypto::SigningKey> key;
    if (o.has("signing-key"))
        key = readSigningKey(o.required("signing-key"));
    const std::string data = readBundleFile(path);
    const std::string signature = key ? key->sign(data) : std::string();
    Store store(db, false);
    const User user = requireUser(store, email);
    store.publishBundle(user.id, data, signature, format);
    std::printf("Published %zu bytes for %s (%s, %s); update flag set.\n", data.size(),
                user.email.c_str(), formatName(format.value_or(user.format)),
                key ? "signed" : "unsigned");
    return 0;
}

int createSigningKey(int argc, char **argv)
{
    const Options o(argc, argv, {"signing-key"});
    const crypto::SigningKey key = crypto::SigningKey::generate();
    writePrivateFile(o.required("signing-key"), key.pem());
    std::printf("%s\n", crypto::base64Encode(key.publicKey()).c_str());
    return 0;
}

int showPublicKey(int argc, char **argv)
{
    const Options o(argc, argv, {"signing-key"});
    std::printf(
        "%s\n",
        crypto::base64Encode(readSigningKey(o.required("signing-key")).publicKey()).c_str());
    return 0;
}

// For bundles served from elsewhere (direct downloads): the value of their X-Bundle-Signature.
int signBundle(int argc, char **argv)
{
    const Options o(argc, argv, {"signing-key", "file"});
    const crypto::SigningKey key = readSigningKey(o.required("signing-key"));
    std::printf("%s\n", crypto::base64Encode(key.sign(readBundleFile(o.required("file")))).c_str());
    return 0;
}

int setFormat(int argc, char **argv)
{
    const Options o(argc, argv, {"db", "email", "format"});
    const std::string db = o.required("db"), email = o.required("email");
    const DeliveryFormat format = formatOption(o.required("format"));
    Store store(db, false);
    const User user = requireUser(store, email);
    store.setFormat(user.id, format);
    std::printf("Dashboard of %s is now delivered as %s.\n", user.email.c_str(),
                formatName(format));
    return 0;
}

int outbox(int argc, char **argv)
{
    const Options o(argc, argv, {"db"});
    Store store(o.required("db"), false);
    // Tickets are stored as digests only: the links show where the mails pointed, and the
    // server printed each full link once when it sent the mail.
    for (const auto &mail : store.outbox())
        std::printf("%s %s %s\n", isoTime(mail.createdMs).c_str(), mail.email.c_str(),
                    mail.link.c_str());
    return 0;
}

int showUser(int argc, char **argv)
{
    const Options o(argc, argv, {"db", "email"});
    const std::string db = o.required("db"), email = o.required("email");
    Store store(db, false);
    const User user = requireUser(store, email);
    std::printf("%s\n", serialize(userRecord(user)).c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::map<std::string, int (*)(int, char **)> commands = {
        {"serve", serve},
        {"create-user", createUser},
        {"set-password", setPassword},
        {"publish-bundle", publishBundle},
        {"set-format", setFormat},
        {"outbox", outbox},
        {"show-user", showUser},
        {"create-signing-key", createSigningKey},
        {"show-public-key", showPublicKey},
        {"sign-bundle", signBundle},
    };
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kUsageError;
    }
    const std::string command = argv[1];
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const auto it = commands.find(command);
    if (it == commands.end()) {
        std::fprintf(stderr, "error: unknown command '%s'\n\n%s", command.c_str(), kUsage);
        return kUsageError;
    }
    try {
        return it->second(argc, argv);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "error: %s\n\n%s", e.message.c_str(), kUsage);
        return kUsageError;
    } catch (const Failure &e) {
        std::fprintf(stderr, "error: %s\n", e.message.c_str());
        return kFailure;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return kFailure;
    }
}
