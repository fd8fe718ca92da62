#pragma once

#include "store.h"

#include <nlohmann/json.hpp>

#include <string>

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
};

// Serves until SIGTERM or SIGINT; returns the process exit code.
int runServer(const ServerOptions &options);

// Percent-encodes what may not appear literally in a query value, keeping ':' and '/'
// so that a redirect address stays readable in a link.
std::string encodeQueryValue(const std::string &value);

// The user record as the service shows it ("id", "email", "metadata").
nlohmann::ordered_json userRecord(const User &user);
// Compact JSON text; invalid UTF-8 in strings is replaced rather than refused.
std::string serialize(const nlohmann::ordered_json &value);

} // namespace backend
