#include "crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace backend::crypto {

namespace {
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
// Hashes claiming absurd work factors would let a tampered database stall the server.
constexpr long kMaxIterations = 10000000;

[[noreturn]] void fatal(const char *what)
{
    std::fprintf(stderr, "fatal: %s\n", what);
    std::abort();
}

bool pbkdf2(std::string_view password, const std::string &salt, int iterations, std::string &out)
{
    out.assign(kHashBytes, '\0');
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                             reinterpret_cast<const unsigned char *>(salt.data()),
                             static_cast<int>(salt.size()), iterations, EVP_sha256(),
                             static_cast<int>(kHashBytes),
                             reinterpret_cast<unsigned char *>(out.data())) == 1;
}
} // namespace

std::string randomBytes(size_t count)
{
    std::string out(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), static_cast<int>(count)) != 1) {
        fatal("the system random generator failed");
    }
    return out;
}

std::string newToken()
{
    std::string token = base64Encode(randomBytes(32));
    for (char &c : token) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
    }
    while (!token.empty() && token.back() == '=')
        token.pop_back();
    return token;
}

std::string newUserId()
{
    std::string bytes = randomBytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3F) | 0x80);
    static const char digits[] = "0123456789abcdef";
    std::string id;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        const auto b = static_cast<unsigned char>(bytes[i]);
        id += digits[b >> 4];
        id += digits[b & 0x0F];
    }
    return id;
}

std::string sha256Hex(std::string_view data)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string hashPassword(std::string_view password, int iterations)
{
    const std::string salt = randomBytes(kSaltBytes);
    std::string hash;
    if (!pbkdf2(password, salt, iterations, hash)) {
        fatal("password hashing failed");
    }
    return "pbkdf2-sha256$" + std::to_string(iterations) + "$" + base64Encode(salt) + "$" +
           base64Encode(hash);
}

bool verifyPassword(std::string_view password, std::string_view stored)
{
    constexpr std::string_view prefix = "pbkdf2-sha256$";
    if (stored.substr(0, prefix.size()) != prefix)
        return false;
    stored.remove_prefix(prefix.size());
    const size_t d1 = stored.find('$');
    const size_t d2 = d1 == std::string_view::npos ? d1 : stored.find('$', d1 + 1);
    if (d2 == std::string_view::npos)
        return false;
    const std::string iterText(stored.substr(0, d1));
    char *end = nullptr;
    const long iterations = std::strtol(iterText.c_str(), &end, 10);
    if (iterText.empty() || *end != '\0' || iterations < 1 || iterations > kMaxIterations)
        return false;
    std::string salt, expected, actual;
    if (!base64Decode(stored.substr(d1 + 1, d2 - d1 - 1), salt) ||
        !base64Decode(stored.substr(d2 + 1), expected) || salt.empty() ||
        expected.size() != kHashBytes)
        return false;
    if (!pbkdf2(password, salt, static_cast<int>(iterations), actual))
        return false;
    return CRYPTO_memcmp(actual.data(), expected.data(), kHashBytes) == 0;
}

std::string base64Encode(std::string_view data)
{
    std::string out(4 * ((data.size() + 2) / 3), '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                        reinterpret_cast<const unsigned char *>(data.data()),
                                        static_cast<int>(data.size()));
    out.resize(written < 0 ? 0 : static_cast<size_t>(written));
    return out;
}

bool base64Decode(std::string_view text, std::string &out)
{
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + static_cast<size_t>(k)];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0)
                return false; // data after padding
            v[k] = value(c);
            if (v[k] < 0)
                return false;
        }
        const unsigned triple = (static_cast<unsigned>(v[0]) << 18) |
                                (static_cast<unsigned>(v[1]) << 12) |
                                (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
        out += static_cast<char>((triple >> 16) & 0xFF);
        if (pad < 2)
            out += static_cast<char>((triple >> 8) & 0xFF);
        if (pad < 1)
            out += static_cast<char>(triple & 0xFF);
    }
    return true;
}

SigningKey::SigningKey(EVP_PKEY *k) : key(k, EVP_PKEY_free) {}

SigningKey SigningKey::generate()
{
    EVP_PKEY *k = nullptr;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    const bool ok = ctx && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &k) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok)
        fatal("Ed25519 key generation failed");
    return SigningKey(k);
}

std::optional<SigningKey> SigningKey::fromPem(std::string_view pem)
{
    BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio)
        return std::nullopt;
    // A null passphrase callback: an encrypted key fails here instead of prompting.
    EVP_PKEY *k = PEM_read_bio_PrivateKey(
        bio, nullptr, [](char *, int, int, void *) { return 0; }, nullptr);
    BIO_free(bio);
    if (!k)
        return std::nullopt;
    if (EVP_PKEY_get_id(k) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(k);
        return std::nullopt;
    }
    return SigningKey(k);
}

std::string SigningKey::pem() const
{
    BIO *bio = BIO_new(BIO_s_mem());
    if (!bio ||
        PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fatal("writing the signing key failed");
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(size));
    BIO_free(bio);
    return text;
}

std::string SigningKey::publicKey() const
{
    std::string raw(kPublicKeyBytes, '\0');
    size_t size = raw.size();
    if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(raw.data()),
                                    &size) != 1 ||
        size != kPublicKeyBytes)
        fatal("reading the public key failed");
    return raw;
}

std::string SigningKey::sign(std::string_view data) const
{
    std::string signature(kSignatureBytes, '\0');
    size_t size = signature.size();
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    // Ed25519 signs the message itself: no separate digest.
    const bool ok =
        ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestSign(ctx, reinterpret_cast<unsigned char *>(signature.data()), &size,
                       reinterpret_cast<const unsigned char *>(data.data()), data.size()) == 1 &&
        size == kSignatureBytes;
    EVP_MD_CTX_free(ctx);
    if (!ok)
        fatal("signing failed");
    return signature;
}

} // namespace backend::crypto
