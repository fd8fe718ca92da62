#pragma once

#include <QJsonValue>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <sqlite3.h>

#include "support/processes.h"

// Bound for every wait on the backend: generous, the machine may be busy building.
constexpr int kWaitMs = 60000;
// Password hashing cost for test accounts, where the real one would only cost time.
const QStringList kFastHashing{"--hash-iterations", "1000"};

// The real backend executable serving a database in a temporary directory of its own, on
// loopback and a free port.
class LocalBackend
{
public:
    static constexpr const char *kDatabaseName = "backend.db";

    ~LocalBackend() { kill(); }

    // Starts "serve" and waits until it listens.
    bool start(const QStringList &extraArgs = {});
    // SIGTERM; true when the server exited cleanly with status 0.
    bool stop();
    void kill();

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/v1").arg(port); }
    quint16 serverPort() const { return port; }
    qint64 pid() const { return server.processId(); }
    QString dbPath() const { return filePath(kDatabaseName); }
    QString filePath(const QString &name) const { return dir.filePath(name); }
    // Everything the running (or last) server printed. It goes to a file, so a server logging
    // while the test thread is busy never waits for a reader.
    QByteArray log() const;
    // The links of the reset mails sent so far, as the server printed them.
    QList<QUrl> resetLinks() const;

    static QString executable();
    // Any command of the executable, run in this backend's directory.
    ToolResult run(const QStringList &args, const QByteArray &input = {}) const;
    // A command on this backend's database ("--db" added).
    ToolResult cli(const QString &command, const QStringList &args = {},
                   const QByteArray &input = {}) const;
    // The new account's id, or empty; the password goes in on standard input.
    QString createUser(const QString &email, const QString &password,
                       const QStringList &args = kFastHashing) const;
    bool publish(const QString &email, const QByteArray &bundle,
                 const QStringList &args = {}) const;
    // A new signing key in this backend's directory; its public key as printed, or empty.
    QByteArray createSigningKey(const QString &name = QStringLiteral("signing.pem")) const;
    // The account's "rcc_update_available" as stored; undefined if it cannot be read.
    QJsonValue updateFlag(const QString &email) const;

private:
    QTemporaryDir dir;
    QProcess server;
    quint16 port = 0;
};

// Runs SQL statements on a database file, as whoever can write to it could: the first column of
// the last row a statement returned ("" when none did), or a null string on failure. Inline, so
// that only the tests that use it link SQLite (through the backend's core library).
inline QString runSql(const QString &db, const QString &sql)
{
    sqlite3 *conn = nullptr;
    QString result = QLatin1String("");
    const auto row = [](void *out, int, char **values, char **) {
        *static_cast<QString *>(out) = QString::fromUtf8(values[0] ? values[0] : "");
        return 0;
    };
    const bool ok =
        sqlite3_open(db.toUtf8().constData(), &conn) == SQLITE_OK &&
        sqlite3_busy_timeout(conn, kWaitMs) == SQLITE_OK &&
        sqlite3_exec(conn, sql.toUtf8().constData(), row, &result, nullptr) == SQLITE_OK;
    sqlite3_close(conn);
    return ok ? result : QString();
}
