#pragma once

#include <string>
#include <string_view>

namespace backend::crypto {

// PBKDF2-HMAC-SHA256 work factor for new hashes; stored hashes carry their own count.
constexpr int kPasswordIterations = 210000;

// Cryptographically random bytes from OpenSSL; aborts the process if the generator fails,
// since continuing would hand out guessable tokens.
std::string randomBytes(size_t count);

// An opaque bearer secret: 32 random bytes, base64url without padding.
std::string newToken();

// A random identifier in the familiar 8-4-4-4-12 hex layout (version 4 UUID).
std::string newUserId();

// Tokens and tickets are only ever stored as this digest, so a copy of the database
// cannot be replayed against the server.
std::string sha256Hex(std::string_view data);

// "pbkdf2-sha256$<iterations>$<salt base64>$<hash base64>" with a fresh 16-byte salt.
std::string hashPassword(std::string_view password, int iterations = kPasswordIterations);
// Constant-time comparison; false for anything that is not a well-formed stored hash.
bool verifyPassword(std::string_view password, std::string_view stored);

std::string base64Encode(std::string_view data);
// Strict standard base64 (padding required); false on any invalid character.
bool base64Decode(std::string_view text, std::string &out);

} // namespace backend::crypto
