#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace backend {

struct StoreError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

std::int64_t nowMs();

// Largest bundle the store accepts; replies hold it in memory (base64 a third more).
constexpr std::size_t kMaxBundleBytes = std::size_t{64} << 20;

// Emails compare case-insensitively (ASCII folding, which is what address domains and
// virtually every mailbox name need).
std::string emailKey(std::string_view email);

enum class DeliveryFormat
{
    Raw,
    Base64
};
const char *formatName(DeliveryFormat format);
std::optional<DeliveryFormat> parseFormat(std::string_view name);

struct User
{
    std::string id;
    std::string email;
    std::string passwordHash;
    bool updateAvailable = false;
    DeliveryFormat format = DeliveryFormat::Raw;
    int failedAttempts = 0;
    std::int64_t lockedUntilMs = 0;
};

struct Session
{
    std::string accessToken;
    std::string refreshToken;
    int lifetimeSeconds = 0;
    std::string userId;
};

struct OutboxEntry
{
    std::int64_t createdMs = 0;
    std::string email;
    std::string link; // the ticket in it is hidden: only its digest is stored
};

// A published dashboard. Versions count up per account with every publication.
struct Bundle
{
    std::string data;
    std::string signature; // detached Ed25519 signature of data; empty when published unsigned
    std::int64_t version = 0;
};

// The link of a reset mail as the outbox keeps it, with the ticket's value hidden.
std::string hideTicket(const std::string &link);

// One SQLite connection. Each server worker and each operator command has its own, so a
// server and the command line can share a database file (WAL mode, busy timeout). The files
// are kept readable by their owner only.
class Store
{
public:
    // Opens PATH; with create, makes the file and its tables when they do not exist yet.
    Store(const std::string &path, bool create);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    std::optional<User> userByEmail(std::string_view email);
    std::optional<User> userById(std::string_view id);
    // False when the e-mail or the id is taken.
    bool createUser(const std::string &id, const std::string &email, const std::string &hash);

    // Replaces the hash, lifts any lock-out and ends every session of the account.
    void setPassword(const std::string &userId, const std::string &hash);

    // Time left of the account's lock, 0 when it is not locked.
    std::int64_t lockRemainingMs(const std::string &userId);
    // Counts a failed sign-in; reaching threshold (> 0) locks the account for lockMs and
    // starts a fresh count for afterwards.
    void recordFailedSignIn(const std::string &userId, int threshold, std::int64_t lockMs);
    // After a correct password: clears the count and any lock and issues a token pair.
    Session signIn(const std::string &userId, int lifetimeSeconds);
    // Exchanges a refresh token for a new pair; the old one is spent even under concurrency.
    std::optional<Session> rotate(const std::string &refreshToken, int lifetimeSeconds);
    // The user an unexpired access token belongs to.
    std::optional<std::string> userForAccessToken(const std::string &accessToken);

    // Stores a new version with its signature (empty: unsigned) and raises the update flag.
    void publishBundle(const std::string &userId, const std::string &data,
                       const std::string &signature, std::optional<DeliveryFormat> format);
    void setFormat(const std::string &userId, DeliveryFormat format);
    // The newest bundle, recorded as the one this account was last served.
    std::optional<Bundle> serveBundle(const std::string &userId);
    // Lowers the update flag, but only when the account was last served the newest bundle:
    // one published after that fetch must still be announced.
    void acknowledgeUpdate(const std::string &userId);

    // Creates a one-time reset ticket and queues the mail in the outbox in one step; link
    // receives the ticket and returns the mail's link. The ticket itself is not stored.
    void requestPasswordReset(const User &user, const std::string &redirectTo,
                              const std::function<std::string(const std::string &)> &link);
    bool resetTicketValid(const std::string &ticket);
    // Spends the ticket and sets the password; nullopt when the ticket is unknown, used or
    // expired. On success returns the redirect address recorded with the ticket.
    std::optional<std::string> completePasswordReset(const std::string &ticket,
                                                     const std::string &hash);
    std::vector<OutboxEntry> outbox();

private:
    class Statement;
    class Transaction;

    void exec(const char *sql);
    void initialize();
    void migrateFrom1();
    void migrateFrom2();
    void applyPassword(const std::string &userId, const std::string &hash);
    Session issueSession(const std::string &userId, int lifetimeSeconds, std::int64_t now);
    std::optional<User> readUser(Statement &st);

    sqlite3 *db = nullptr;
};

} // namespace backend
