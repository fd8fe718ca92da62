#pragma once

#include "crypto.h"
#include "store.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace backend {

struct ServerOptions
{
    std::string dbPath;
    std::string host = "127.0.0.1";
    int port = 0; // 0: any free port
    std::string portFile;
    int tokenLifetimeSeconds = 900;
    int lockoutThreshold = 5; // 0 disables the lock-out
    int lockoutSeconds = 900;
    // Where clients reach this server, for the links in reset mails; empty: the listening
    // address.
    std::string publicUrl;
    // Origins a reset may redirect the browser to, besides the public address; empty:
    // loopback addresses.
    std::vector<std::string> redirectOrigins;
    // Time for a request's line and headers, and again for its body.
    int requestTimeoutSeconds = 10;
    // Open connections of one client address; more are closed at once.
    int maxPeerConnections = 32;
    int hashIterations = crypto::kPasswordIterations;
};

// Serves until SIGTERM or SIGINT; returns the process exit code.
int runServer(const ServerOptions &options);

// Percent-encodes what may not appear literally in a query value, keeping ':' and '/'
// so that a redirect address stays readable in a link.
std::string encodeQueryValue(const std::string &value);

// Scheme, host and port of an http(s) address, lower-cased and with the default port filled
// in ("http://localhost:80"); nullopt for anything else, including addresses with user
// information or characters a browser might read differently.
std::optional<std::string> webOrigin(std::string_view url);
// A public address for links: http(s), no query or fragment, no trailing slash.
std::optional<std::string> normalizePublicUrl(std::string_view url);
// Whether a reset may send the browser to url: its origin is the public address's or one of
// the allowed ones, or, with none configured, a loopback one.
bool redirectAllowed(std::string_view url, const std::string &publicUrl,
                     const std::vector<std::string> &allowedOrigins);

// The user record as the service shows it ("id", "email", "metadata").
nlohmann::ordered_json userRecord(const User &user);
// Compact JSON text; invalid UTF-8 in strings is replaced rather than refused.
std::string serialize(const nlohmann::ordered_json &value);

} // namespace backend
