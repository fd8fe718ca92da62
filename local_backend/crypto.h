#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

using EVP_PKEY = struct evp_pkey_st;

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

// An Ed25519 private key that signs dashboard bundles, so that clients pinning its public key
// run only what the operator published.
class SigningKey
{
public:
    static constexpr size_t kPublicKeyBytes = 32;
    static constexpr size_t kSignatureBytes = 64;

    static SigningKey generate();
    // From unencrypted PKCS#8 PEM text; nullopt for anything that is not an Ed25519 key.
    static std::optional<SigningKey> fromPem(std::string_view pem);

    std::string pem() const;
    // The raw 32-byte public key, as clients are configured with it (in base64).
    std::string publicKey() const;
    // The 64-byte detached signature of data.
    std::string sign(std::string_view data) const;

private:
    explicit SigningKey(EVP_PKEY *k);
    std::shared_ptr<EVP_PKEY> key;
};

} // namespace backend::crypto
