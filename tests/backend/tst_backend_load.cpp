// The local backend under load, slow clients and abrupt ends: the real executable on loopback,
// with bounded loops.

#include <QJsonDocument>
#include <QtTest>

#include "support/http_clients.h"
#include "support/local_backend.h"
#include "support/processes.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <memory>

namespace {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
const QString kPassword = QStringLiteral("correct horse");

QString account(int i)
{
    return QStringLiteral("user%1@example.com").arg(i);
}

QByteArray credentials(const QString &email)
{
    return QJsonDocument(QJsonObject{{"email", email}, {"password", kPassword}})
        .toJson(QJsonDocument::Compact);
}

QByteArray bundleOf(int i)
{
    return "qres-bundle-" + QByteArray::number(i) + QByteArray(4096, char('a' + i));
}

// A sign-in's status and session tokens (empty on failure).
struct Session
{
    int status = 0;
    QByteArray access;
    QByteArray refresh;
};

Session signIn(RawHttp &client, const QString &email)
{
    const HttpReply r = client.request("POST", "/v1/signin/email-password", credentials(email));
    const QJsonObject session = r.json().value("session").toObject();
    return {r.status, session.value("accessToken").toString().toUtf8(),
            session.value("refreshToken").toString().toUtf8()};
}
} // namespace

class TestBackendLoad : public QObject
{
    Q_OBJECT

    std::unique_ptr<LocalBackend> backend;
    HttpClient http;

    // Accounts user0..user(n-1), each with its own bundle.
    void createAccounts(int n)
    {
        for (int i = 0; i < n; ++i) {
            QVERIFY(!backend->createUser(account(i), kPassword).isEmpty());
            QVERIFY(backend->publish(account(i), bundleOf(i)));
        }
    }
    QByteArray bundlePath(int i)
    {
        const QString id =
            QJsonDocument::fromJson(backend->cli("show-user", {"--email", account(i)}).out)
                .object()
                .value("id")
                .toString();
        return "/v1/get_dashboard_rcc?user_id=" + id.toUtf8();
    }

private slots:
    void init() { backend = std::make_unique<LocalBackend>(); }

    void concurrentClientsGetNoServerErrors()
    {
        constexpr int kAccounts = 4, kClients = 16, kRounds = 8;
        createAccounts(kAccounts);
        QList<QByteArray> paths;
        for (int i = 0; i < kAccounts; ++i)
            paths << bundlePath(i);
        QVERIFY(backend->start());

        // Every answer is checked, not only for 5xx: a lost write shows up as a 401 later.
        std::vector<QStringList> failures(kClients);
        runTogether(backend->serverPort(), kClients, [&](int c, RawHttp &client) {
            const int a = c % kAccounts;
            auto expect = [&](const char *what, const HttpReply &r, int status = 200) {
                if (r.status != status)
                    failures[c] << QStringLiteral("%1: %2").arg(what).arg(r.status);
            };
            for (int round = 0; round < kRounds && failures[c].isEmpty(); ++round) {
                const Session tokens = signIn(client, account(a));
                expect("sign-in", HttpReply{tokens.status, {}, {}});
                expect("user", client.request("GET", "/v1/user", {}, tokens.access));
                const HttpReply bundle = client.request("GET", paths[a], {}, tokens.access);
                expect("bundle", bundle);
                if (bundle.body != bundleOf(a))
                    failures[c] << "bundle body";
                const HttpReply renewed = client.request(
                    "POST", "/v1/token",
                    QJsonDocument(QJsonObject{{"refreshToken", QString(tokens.refresh)}}).toJson());
                expect("refresh", renewed);
                expect("user after refresh",
                       client.request("GET", "/v1/user", {},
                                      renewed.json().value("accessToken").toString().toUtf8()));
                expect("acknowledge",
                       client.request("POST", "/v1/clear_rcc_update", "{}", tokens.access));
            }
        });
        for (const QStringList &f : failures)
            QVERIFY2(f.isEmpty(), qPrintable(f.join(", ")));
        QTRY_COMPARE_WITH_TIMEOUT(backend->log().count(" POST /v1/signin/email-password 200\n"),
                                  kClients * kRounds, kWaitMs);
        const QByteArray log = backend->log();
        QVERIFY(!log.contains("database is locked"));
        QVERIFY(!QRegularExpression(" 5\\d\\d\\n").match(QString::fromUtf8(log)).hasMatch());
    }

    void killedMidWriteLosesNothing()
    {
        constexpr int kAccounts = 6;
        createAccounts(kAccounts);
        QVERIFY(backend->start());

        // The server killed while clients keep signing in and refreshing.
        std::atomic<int> answered{0};
        std::atomic<bool> killed{false};
        std::thread clients([&] {
            runTogether(backend->serverPort(), kAccounts, [&](int a, RawHttp &client) {
                for (int i = 0; i < 2000 && !killed; ++i) {
                    const Session tokens = signIn(client, account(a));
                    const QByteArray body =
                        QJsonDocument(QJsonObject{{"refreshToken", QString(tokens.refresh)}})
                            .toJson();
                    if (tokens.status != 200 ||
                        client.request("POST", "/v1/token", body).status != 200)
                        return;
                    ++answered;
                }
            });
        });
        QVERIFY(QTest::qWaitFor([&] { return answered > 30; }, kWaitMs));
        backend->kill();
        killed = true;
        clients.join();

        // A publication killed half-way: the pages written so far are in the log, uncommitted.
        QVERIFY(backend->start());
        const QString big = backend->filePath("big.rcc");
        QFile file(big);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray block(1024 * 1024, 'b');
        for (int i = 0; i < 48; ++i)
            QVERIFY(file.write(i == 0 ? "qres" + block.mid(4) : block) == block.size());
        file.close();
        const QByteArray path = bundlePath(0);
        RawHttp client(backend->serverPort());
        const Session tokens = signIn(client, account(0));
        QProcess publish;
        publish.start(LocalBackend::executable(), {"publish-bundle", "--db", backend->dbPath(),
                                                   "--email", account(0), "--file", big});
        const QString wal = backend->dbPath() + "-wal";
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(wal).size() > 16 * 1024 * 1024; }, kWaitMs));
        // A fetch meanwhile waits for the publication or sees the bundle before it.
        QByteArray fetched;
        std::thread fetch([&] { fetched = client.request("GET", path, {}, tokens.access).body; });
        publish.kill();
        publish.waitForFinished(kWaitMs);
        fetch.join();
        QCOMPARE(fetched, bundleOf(0));

        QVERIFY(backend->stop());
        QCOMPARE(runSql(backend->dbPath(), "PRAGMA integrity_check"), QStringLiteral("ok"));
        QVERIFY(backend->start());
        RawHttp after(backend->serverPort());
        for (int a = 0; a < kAccounts; ++a) {
            const Session t = signIn(after, account(a));
            QCOMPARE(t.status, 200);
            const QByteArray served = after.request("GET", bundlePath(a), {}, t.access).body;
            // The killed publication either never happened or happened whole.
            QVERIFY(served == bundleOf(a) || (a == 0 && served.size() == 48 * block.size()));
        }
    }

    // Clients that open connections and send their request head slowly, or not at all, wait
    // outside the worker pool.
    void slowClientsDoNotStarveOthers()
    {
        // All from one address: the per-address limit is raised so that every one gets in.
        QVERIFY(backend->start({"--request-timeout", "120", "--max-peer-connections", "256"}));
        std::vector<std::unique_ptr<RawHttp>> slow;
        for (int i = 0; i < 200; ++i) {
            slow.push_back(std::make_unique<RawHttp>(backend->serverPort()));
            QVERIFY(slow.back()->send(i % 2 ? "GET /v1/user HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                            : "GET /v1/user HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                              "\r\nGET /v1/user HTTP/1.1\r\nX-Slow: 1"));
        }
        QCOMPARE(http.get(backend->baseUrl() + "/user").status, 401);
        // Answered while every slow head was still pending, not after they timed out.
        for (const auto &client : slow) {
            if (client->readable(0))
                QCOMPARE(client->read().status, 401); // the complete first request only
            QVERIFY(!client->readable(0));
        }
    }

    // Clients that ask for a large answer and never read it keep their connections, but hold
    // no thread: a client from another address is answered meanwhile.
    void slowReadersDoNotStarveOthers()
    {
        constexpr int kReaders = 64;
        QVERIFY(!backend->createUser(account(0), kPassword).isEmpty());
        // Far more than the socket buffers of both ends take: no answer can be finished.
        QByteArray bundle(8 * 1024 * 1024, 'b');
        bundle.replace(0, 4, "qres");
        QVERIFY(backend->publish(account(0), bundle));
        const QByteArray path = bundlePath(0);
        // Every reader gets in, so that each holds an answer it does not read.
        QVERIFY(backend->start({"--max-peer-connections", "256"}));
        RawHttp first(backend->serverPort());
        const Session session = signIn(first, account(0));
        const QByteArray access = session.access;
        QCOMPARE(session.status, 200);

        std::vector<std::unique_ptr<RawHttp>> readers;
        for (int i = 0; i < kReaders; ++i) {
            readers.push_back(std::make_unique<RawHttp>(backend->serverPort(), "127.0.0.1", 4096));
            QVERIFY(readers.back()->send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                         "Authorization: Bearer " + access + "\r\n\r\n"));
        }
        // Every answer has begun to arrive, and none is read.
        QVERIFY(QTest::qWaitFor(
            [&] {
                return std::all_of(readers.begin(), readers.end(),
                                   [](const auto &r) { return r->readable(0); });
            },
            kWaitMs));
        for (int probe = 0; probe < 5; ++probe) {
            QElapsedTimer timer;
            timer.start();
            RawHttp honest(backend->serverPort(), "127.0.0.2");
            QCOMPARE(honest.request("GET", "/v1/user", {}, access).status, 200);
            QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        }
    }

    // One address cannot take every connection the server keeps; others still get in.
    void connectionsOfOnePeerAreLimited()
    {
        QVERIFY(backend->start({"--max-peer-connections", "4", "--request-timeout", "120"}));
        const quint16 port = backend->serverPort();
        // Each sends half a head, so it is held until the time-out, far beyond this test.
        std::vector<std::unique_ptr<RawHttp>> held;
        for (int i = 0; i < 4; ++i) {
            held.push_back(std::make_unique<RawHttp>(port, "127.0.0.1"));
            QVERIFY(held.back()->send("GET /v1/user HTTP/1.1\r\n"));
        }
        RawHttp refused(port, "127.0.0.1");
        QCOMPARE(refused.request("GET", "/v1/user").status, 0);
        QVERIFY(refused.closedByPeer());
        RawHttp other(port, "127.0.0.2");
        QCOMPARE(other.request("GET", "/v1/user").status, 401);
        // A connection that ends makes room for another.
        held.pop_back();
        QVERIFY(QTest::qWaitFor(
            [&] { return RawHttp(port, "127.0.0.1").request("GET", "/v1/user").status == 401; },
            kWaitMs));
        for (const auto &client : held)
            QVERIFY(!client->readable(0));
    }

    void slowRequestIsCutOff_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::newRow("head a byte at a time") << QByteArray("GET /v1/user HTTP/1.1\r\nX-Slow: ");
        QTest::newRow("body a byte at a time")
            << QByteArray("POST /v1/token HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Content-Type: application/json\r\nContent-Length: 100000\r\n\r\n");
    }

    // Bytes keep coming, each well within any per-read time-out, but the whole never does.
    void slowRequestIsCutOff()
    {
        QFETCH(QByteArray, head);
        QVERIFY(backend->start({"--request-timeout", "1"}));
        RawHttp client(backend->serverPort());
        QVERIFY(client.send(head));
        QTRY_VERIFY_WITH_TIMEOUT(client.readable(0) || !client.send("x"), kWaitMs);
        const HttpReply reply = client.read();
        QCOMPARE(reply.status, 408);
        QCOMPARE(reply.error(), QStringLiteral("request-timeout"));
        QVERIFY(client.closedByPeer());
    }

    void memoryStaysFlat()
    {
        createAccounts(1);
        const QByteArray path = bundlePath(0);
        QVERIFY(backend->start());
        RawHttp first(backend->serverPort());
        const Session session = signIn(first, account(0));
        const QByteArray access = session.access;
        QCOMPARE(session.status, 200);

        // Answers of every kind: found, refused, malformed, missing.
        auto burst = [&](int requests) {
            std::atomic<int> wrong{0};
            runTogether(backend->serverPort(), 4, [&](int, RawHttp &client) {
                for (int i = 0; i < requests / 4; ++i) {
                    const int kind = i % 5;
                    const HttpReply r =
                        kind == 0   ? client.request("GET", "/v1/user", {}, access)
                        : kind == 1 ? client.request("GET", "/v1/user", {}, "bogus")
                        : kind == 2 ? client.request("POST", "/v1/signin/email-password", "{")
                        : kind == 3 ? client.request("GET", path, {}, access)
                                    : client.request("GET", "/v1/nothing");
                    if (r.status != QList<int>{200, 401, 400, 200, 404}[kind])
                        ++wrong;
                }
            });
            return wrong.load();
        };
        QCOMPARE(burst(2000), 0); // warms up workers, their connections and allocator arenas
        const qint64 before = residentKiB(backend->pid());
        QCOMPARE(burst(10000), 0);
        const qint64 after = residentKiB(backend->pid());
        // AddressSanitizer keeps freed memory in quarantine, so there the figure means nothing.
        if (!kSanitized) {
            QVERIFY2(before > 0 && after - before < 8 * 1024,
                     qPrintable(QStringLiteral("%1 KiB -> %2 KiB").arg(before).arg(after)));
        }

        // Workers keep their database connection between requests, one each at most.
        int open = 0;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(backend->pid()));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System))
            open += fd.symLinkTarget() == QFileInfo(backend->dbPath()).canonicalFilePath();
        QVERIFY2(open >= 1 && open <= 64 + 1, QByteArray::number(open));
    }
};

QTEST_GUILESS_MAIN(TestBackendLoad)
#include "tst_backend_load.moc"
