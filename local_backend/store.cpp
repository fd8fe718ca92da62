#include "store.h"

#include "crypto.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace backend {

namespace {
constexpr std::int64_t kRefreshLifetimeMs = 30LL * 24 * 3600 * 1000;
constexpr std::int64_t kResetTicketLifetimeMs = 3600LL * 1000;
// Long enough for a publish of a large bundle to finish while the server keeps answering.
constexpr int kBusyTimeoutMs = 15000;
constexpr int kSchemaVersion = 3;

// Expired rows are purged at every sign-in and refresh.
#define kExpiryIndexes                                                                             \
    "CREATE INDEX IF NOT EXISTS access_tokens_expiry ON access_tokens(expires_at);"                \
    "CREATE INDEX IF NOT EXISTS refresh_tokens_expiry ON refresh_tokens(expires_at);"              \
    "CREATE INDEX IF NOT EXISTS reset_tickets_expiry ON reset_tickets(expires_at);"

const char *const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS users(
    id TEXT PRIMARY KEY,
    email TEXT NOT NULL,
    email_key TEXT NOT NULL UNIQUE,
    password_hash TEXT NOT NULL,
    rcc_update_available INTEGER NOT NULL DEFAULT 0,
    delivery_format TEXT NOT NULL DEFAULT 'raw' CHECK(delivery_format IN ('raw', 'base64')),
    failed_attempts INTEGER NOT NULL DEFAULT 0,
    locked_until INTEGER NOT NULL DEFAULT 0,
    created_at INTEGER NOT NULL,
    served_bundle_version INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS bundles(
    user_id TEXT PRIMARY KEY REFERENCES users(id) ON DELETE CASCADE,
    data BLOB NOT NULL,
    published_at INTEGER NOT NULL,
    version INTEGER NOT NULL DEFAULT 1,
    signature BLOB);
CREATE TABLE IF NOT EXISTS access_tokens(
    token_hash TEXT PRIMARY KEY,
    user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS refresh_tokens(
    token_hash TEXT PRIMARY KEY,
    user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS reset_tickets(
    ticket_hash TEXT PRIMARY KEY,
    user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    redirect_to TEXT NOT NULL,
    expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS outbox(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    email TEXT NOT NULL,
    link TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS access_tokens_user ON access_tokens(user_id);
CREATE INDEX IF NOT EXISTS refresh_tokens_user ON refresh_tokens(user_id);
CREATE INDEX IF NOT EXISTS reset_tickets_user ON reset_tickets(user_id);
)sql" kExpiryIndexes;

// The database and its -wal and -shm companions hold password hashes and token digests.
// SQLite gives the companions the database file's mode, so creating that 0600 is enough for
// new files; files made by earlier versions are tightened.
void keepPrivate(const std::string &path, bool create)
{
    if (create) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    for (const char *suffix : {"", "-wal", "-shm"}) {
        const std::string file = path + suffix;
        struct stat st
        {
        };
        if (::stat(file.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
            ::chmod(file.c_str(), st.st_mode & 0700);
    }
}
} // namespace

std::string hideTicket(const std::string &link)
{
    const size_t start = link.find("ticket=");
    if (start == std::string::npos)
        return link;
    const size_t end = link.find('&', start);
    return link.substr(0, start + 7) + "hidden" +
           (end == std::string::npos ? std::string() : link.substr(end));
}

std::int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string emailKey(std::string_view email)
{
    std::string key(email);
    for (char &c : key) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

const char *formatName(DeliveryFormat format)
{
    return format == DeliveryFormat::Base64 ? "base64" : "raw";
}

std::optional<DeliveryFormat> parseFormat(std::string_view name)
{
    if (name == "raw")
        return DeliveryFormat::Raw;
    if (name == "base64")
        return DeliveryFormat::Base64;
    return std::nullopt;
}

class Store::Statement
{
public:
    Statement(sqlite3 *conn, const char *sql) : db(conn)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(st); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, std::string_view text)
    {
        check(sqlite3_bind_text64(st, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                  SQLITE_UTF8));
        return *this;
    }
    Statement &bindBlob(int index, std::string_view data)
    {
        check(sqlite3_bind_blob64(st, index, data.data(), data.size(), SQLITE_STATIC));
        return *this;
    }
    Statement &bindNull(int index)
    {
        check(sqlite3_bind_null(st, index));
        return *this;
    }
    Statement &bind(int index, std::int64_t value)
    {
        check(sqlite3_bind_int64(st, index, value));
        return *this;
    }

    // True while a row is available.
    bool step()
    {
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw StoreError(sqlite3_errmsg(db));
    }
    void run()
    {
        while (step()) {
        }
    }

    std::string text(int col)
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st, col)))
                 : std::string();
    }
    std::string blob(int col)
    {
        const auto *p = static_cast<const char *>(sqlite3_column_blob(st, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st, col)))
                 : std::string();
    }
    std::int64_t integer(int col) { return sqlite3_column_int64(st, col); }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db));
    }

    sqlite3 *db;
    sqlite3_stmt *st = nullptr;
};

// BEGIN IMMEDIATE takes the write lock up front, so read-then-write sequences (token rotation,
// lock-out counting) cannot interleave with another connection's.
// Writers of one process also queue on a mutex: SQLite's own busy wait sleeps in growing
// steps, which would put tens of milliseconds on a write that loses a race.
class Store::Transaction
{
public:
    explicit Transaction(Store &s) : store(s), queue(writers()) { store.exec("BEGIN IMMEDIATE"); }
    ~Transaction()
    {
        if (!done)
            sqlite3_exec(store.db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit()
    {
        store.exec("COMMIT");
        done = true;
    }

private:
    static std::mutex &writers()
    {
        static std::mutex mutex;
        return mutex;
    }

    Store &store;
    std::lock_guard<std::mutex> queue;
    bool done = false;
};

Store::Store(const std::string &path, bool create)
{
    keepPrivate(path, create);
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        db = nullptr;
        throw StoreError("cannot open database " + path + ": " + why);
    }
    try {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        exec("PRAGMA foreign_keys = ON");
        initialize();
        exec("PRAGMA synchronous = NORMAL");
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
}

Store::~Store()
{
    sqlite3_close(db);
}

void Store::exec(const char *sql)
{
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        throw StoreError(why);
    }
}

void Store::initialize()
{
    std::int64_t current = 0;
    {
        Statement version(db, "PRAGMA user_version");
        version.step();
        current = version.integer(0);
    } // finalised: an open statement would pin a read transaction
    if (current == kSchemaVersion)
        return;
    if (current > kSchemaVersion)
        throw StoreError("database was written by a newer version of this program");
    exec("PRAGMA journal_mode = WAL");
    Transaction tx(*this);
    if (current == 0) {
        exec(kSchema);
    } else {
        if (current == 1)
            migrateFrom1();
        migrateFrom2();
    }
    exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    tx.commit();
}

// Version 1 kept reset links with live tickets in the outbox: those tickets are withdrawn and
// the links hidden. Bundles gain versions so that acknowledgements can be matched to them.
void Store::migrateFrom1()
{
    exec("ALTER TABLE users ADD COLUMN served_bundle_version INTEGER NOT NULL DEFAULT 0;"
         "ALTER TABLE bundles ADD COLUMN version INTEGER NOT NULL DEFAULT 1;"
         "DELETE FROM reset_tickets;" kExpiryIndexes);
    std::vector<std::pair<std::int64_t, std::string>> links;
    {
        Statement read(db, "SELECT id, link FROM outbox");
        while (read.step())
            links.emplace_back(read.integer(0), read.text(1));
    }
    for (const auto &[id, link] : links) {
        Statement hide(db, "UPDATE outbox SET link = ? WHERE id = ?");
        hide.bind(1, hideTicket(link)).bind(2, id).run();
    }
}

// Version 2 had no bundle signatures: its bundles are served unsigned, as they were published.
void Store::migrateFrom2()
{
    exec("ALTER TABLE bundles ADD COLUMN signature BLOB");
}

std::optional<User> Store::readUser(Statement &st)
{
    if (!st.step())
        return std::nullopt;
    User u;
    u.id = st.text(0);
    u.email = st.text(1);
    u.passwordHash = st.text(2);
    u.updateAvailable = st.integer(3) != 0;
    u.format = parseFormat(st.text(4)).value_or(DeliveryFormat::Raw);
    u.failedAttempts = static_cast<int>(st.integer(5));
    u.lockedUntilMs = st.integer(6);
    return u;
}

#define USER_COLUMNS                                                                               \
    "SELECT id, email, password_hash, rcc_update_available, delivery_format, failed_attempts, "    \
    "locked_until FROM users "

std::optional<User> Store::userByEmail(std::string_view email)
{
    Statement st(db, USER_COLUMNS "WHERE email_key = ?");
    st.bind(1, emailKey(email));
    return readUser(st);
}

std::optional<User> Store::userById(std::string_view id)
{
    Statement st(db, USER_COLUMNS "WHERE id = ?");
    st.bind(1, id);
    return readUser(st);
}

bool Store::createUser(const std::string &id, const std::string &email, const std::string &hash)
{
    Transaction tx(*this);
    Statement taken(db, "SELECT 1 FROM users WHERE id = ? OR email_key = ?");
    taken.bind(1, id).bind(2, emailKey(email));
    if (taken.step())
        return false;
    Statement insert(db, "INSERT INTO users(id, email, email_key, password_hash, created_at) "
                         "VALUES(?, ?, ?, ?, ?)");
    insert.bind(1, id).bind(2, email).bind(3, emailKey(email)).bind(4, hash).bind(5, nowMs());
    insert.run();
    tx.commit();
    return true;
}

void Store::setPassword(const std::string &userId, const std::string &hash)
{
    Transaction tx(*this);
    applyPassword(userId, hash);
    tx.commit();
}

void Store::applyPassword(const std::string &userId, const std::string &hash)
{
    Statement update(db, "UPDATE users SET password_hash = ?, failed_attempts = 0, "
                         "locked_until = 0 WHERE id = ?");
    update.bind(1, hash).bind(2, userId).run();
    // A changed password must also shut out whoever held the old one.
    for (const char *sql : {"DELETE FROM access_tokens WHERE user_id = ?",
                            "DELETE FROM refresh_tokens WHERE user_id = ?",
                            "DELETE FROM reset_tickets WHERE user_id = ?"}) {
        Statement revoke(db, sql);
        revoke.bind(1, userId).run();
    }
}

std::int64_t Store::lockRemainingMs(const std::string &userId)
{
    Statement read(db, "SELECT locked_until FROM users WHERE id = ?");
    read.bind(1, userId);
    return read.step() ? std::max<std::int64_t>(0, read.integer(0) - nowMs()) : 0;
}

void Store::recordFailedSignIn(const std::string &userId, int threshold, std::int64_t lockMs)
{
    Transaction tx(*this);
    Statement read(db, "SELECT failed_attempts FROM users WHERE id = ?");
    read.bind(1, userId);
    if (!read.step())
        return;
    const std::int64_t failures = read.integer(0) + 1;
    const bool lock = threshold > 0 && failures >= threshold;
    Statement update(db, lock ? "UPDATE users SET failed_attempts = 0, locked_until = ? "
                                "WHERE id = ?"
                              : "UPDATE users SET failed_attempts = ? WHERE id = ?");
    update.bind(1, lock ? nowMs() + lockMs : failures).bind(2, userId).run();
    tx.commit();
}

Session Store::issueSession(const std::string &userId, int lifetimeSeconds, std::int64_t now)
{
    // Expired rows are dropped whenever new ones are written, so the tables stay small.
    for (const char *sql : {"DELETE FROM access_tokens WHERE expires_at <= ?",
                            "DELETE FROM refresh_tokens WHERE expires_at <= ?",
                            "DELETE FROM reset_tickets WHERE expires_at <= ?"}) {
        Statement purge(db, sql);
        purge.bind(1, now).run();
    }
    Session s;
    s.userId = userId;
    s.lifetimeSeconds = lifetimeSeconds;
    s.accessToken = crypto::newToken();
    s.refreshToken = crypto::newToken();
    Statement access(db,
                     "INSERT INTO access_tokens(token_hash, user_id, expires_at) VALUES(?, ?, ?)");
    access.bind(1, crypto::sha256Hex(s.accessToken))
        .bind(2, userId)
        .bind(3, now + std::int64_t(lifetimeSeconds) * 1000)
        .run();
    Statement refresh(
        db, "INSERT INTO refresh_tokens(token_hash, user_id, expires_at) VALUES(?, ?, ?)");
    refresh.bind(1, crypto::sha256Hex(s.refreshToken))
        .bind(2, userId)
        .bind(3, now + kRefreshLifetimeMs)
        .run();
    return s;
}

Session Store::signIn(const std::string &userId, int lifetimeSeconds)
{
    Transaction tx(*this);
    const std::int64_t now = nowMs();
    Statement reset(db, "UPDATE users SET failed_attempts = 0, locked_until = 0 WHERE id = ?");
    reset.bind(1, userId).run();
    Session s = issueSession(userId, lifetimeSeconds, now);
    tx.commit();
    return s;
}

std::optional<Session> Store::rotate(const std::string &refreshToken, int lifetimeSeconds)
{
    Transaction tx(*this);
    const std::int64_t now = nowMs();
    Statement spend(db, "DELETE FROM refresh_tokens WHERE token_hash = ? RETURNING user_id, "
                        "expires_at");
    spend.bind(1, crypto::sha256Hex(refreshToken));
    if (!spend.step())
        return std::nullopt;
    const std::string userId = spend.text(0);
    const bool expired = spend.integer(1) <= now;
    spend.run();
    if (expired) {
        tx.commit();
        return std::nullopt;
    }
    Session s = issueSession(userId, lifetimeSeconds, now);
    tx.commit();
    return s;
}

std::optional<std::string> Store::userForAccessToken(const std::string &accessToken)
{
    Statement st(db, "SELECT user_id FROM access_tokens WHERE token_hash = ? AND expires_at > ?");
    st.bind(1, crypto::sha256Hex(accessToken)).bind(2, nowMs());
    if (!st.step())
        return std::nullopt;
    return st.text(0);
}

void Store::publishBundle(const std::string &userId, const std::string &data,
                          const std::string &signature, std::optional<DeliveryFormat> format)
{
    if (data.size() > kMaxBundleBytes)
        throw StoreError("bundle larger than " + std::to_string(kMaxBundleBytes) + " bytes");
    Transaction tx(*this);
    // An unsigned publication must not keep the signature of the bundle it replaces.
    Statement put(db, "INSERT INTO bundles(user_id, data, signature, published_at) "
                      "VALUES(?, ?, ?, ?) ON CONFLICT(user_id) DO UPDATE SET "
                      "data = excluded.data, signature = excluded.signature, "
                      "published_at = excluded.published_at, version = version + 1");
    put.bind(1, userId).bindBlob(2, data);
    if (signature.empty())
        put.bindNull(3);
    else
        put.bindBlob(3, signature);
    put.bind(4, nowMs()).run();
    Statement flag(db, "UPDATE users SET rcc_update_available = 1 WHERE id = ?");
    flag.bind(1, userId).run();
    if (format)
        setFormat(userId, *format);
    tx.commit();
}

void Store::setFormat(const std::string &userId, DeliveryFormat format)
{
    Statement st(db, "UPDATE users SET delivery_format = ? WHERE id = ?");
    st.bind(1, formatName(format)).bind(2, userId).run();
}

std::optional<Bundle> Store::serveBundle(const std::string &userId)
{
    Bundle bundle;
    {
        Statement st(db, "SELECT data, version, signature FROM bundles WHERE user_id = ?");
        st.bind(1, userId);
        if (!st.step())
            return std::nullopt;
        bundle.data = st.blob(0);
        bundle.version = st.integer(1);
        bundle.signature = st.blob(2);
    }
    Transaction tx(*this);
    Statement served(db, "UPDATE users SET served_bundle_version = ? WHERE id = ?");
    served.bind(1, bundle.version).bind(2, userId).run();
    tx.commit();
    return bundle;
}

void Store::acknowledgeUpdate(const std::string &userId)
{
    Transaction tx(*this);
    Statement st(db, "UPDATE users SET rcc_update_available = 0 WHERE id = ? AND "
                     "served_bundle_version = (SELECT version FROM bundles WHERE user_id = ?)");
    st.bind(1, userId).bind(2, userId).run();
    tx.commit();
}

void Store::requestPasswordReset(const User &user, const std::string &redirectTo,
                                 const std::function<std::string(const std::string &)> &link)
{
    Transaction tx(*this);
    const std::int64_t now = nowMs();
    const std::string ticket = crypto::newToken();
    Statement put(db, "INSERT INTO reset_tickets(ticket_hash, user_id, redirect_to, expires_at) "
                      "VALUES(?, ?, ?, ?)");
    put.bind(1, crypto::sha256Hex(ticket))
        .bind(2, user.id)
        .bind(3, redirectTo)
        .bind(4, now + kResetTicketLifetimeMs)
        .run();
    Statement mail(db, "INSERT INTO outbox(created_at, email, link) VALUES(?, ?, ?)");
    mail.bind(1, now).bind(2, user.email).bind(3, hideTicket(link(ticket))).run();
    tx.commit();
}

bool Store::resetTicketValid(const std::string &ticket)
{
    Statement st(db, "SELECT 1 FROM reset_tickets WHERE ticket_hash = ? AND expires_at > ?");
    st.bind(1, crypto::sha256Hex(ticket)).bind(2, nowMs());
    return st.step();
}

std::optional<std::string> Store::completePasswordReset(const std::string &ticket,
                                                        const std::string &hash)
{
    Transaction tx(*this);
    Statement spend(db, "DELETE FROM reset_tickets WHERE ticket_hash = ? AND expires_at > ? "
                        "RETURNING user_id, redirect_to");
    spend.bind(1, crypto::sha256Hex(ticket)).bind(2, nowMs());
    if (!spend.step())
        return std::nullopt;
    const std::string userId = spend.text(0);
    const std::string redirectTo = spend.text(1);
    spend.run();
    applyPassword(userId, hash);
    tx.commit();
    return redirectTo;
}

std::vector<OutboxEntry> Store::outbox()
{
    Statement st(db, "SELECT created_at, email, link FROM outbox ORDER BY id");
    std::vector<OutboxEntry> entries;
    while (st.step())
        entries.push_back({st.integer(0), st.text(1), st.text(2)});
    return entries;
}

} // namespace backend
