#include "backend_fixture.h"

#include "crypto.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>
#include <memory>

namespace {
const QString kEmail = QStringLiteral("ada@example.com");
const QString kPassword = QStringLiteral("correct horse");
const QString kTooMany = QStringLiteral(
    "TOO_MANY_ATTEMPTS_TRY_LATER : Access to this account has been temporarily disabled due to "
    "many failed login attempts. You can immediately restore it by resetting your password or "
    "you can try again later.");
constexpr int kWaitMs = 30000;

QByteArray credentials(const QString &email, const QString &password)
{
    return QJsonDocument(QJsonObject{{"email", email}, {"password", password}})
        .toJson(QJsonDocument::Compact);
}
} // namespace

class TestLocalBackend : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void passwordHashesAreSaltedAndVerified();
    void malformedStoredHashesNeverVerify_data();
    void malformedStoredHashesNeverVerify();

    void signInIssuesSessionAndStoresOnlyDigests();
    void rejectedRequests_data();
    void rejectedRequests();

    void accessTokenExpires();
    void refreshTokensRotate();
    void concurrentRefreshSpendsTokenOnce();

    void lockOutAfterConsecutiveFailures();
    void setPasswordLiftsLockOutAndEndsSessions();

    void dashboardFunctionAuthorisation_data();
    void dashboardFunctionAuthorisation();
    void bundleDelivery_data();
    void bundleDelivery();
    void clearingTheUpdateFlag();

    void passwordResetThroughOutboxLink();
    void stateSurvivesRestart();
    void logNamesRequestsButNoSecrets();
    void operatorErrors_data();
    void operatorErrors();

private:
    QString url(const QString &path) const { return backend->baseUrl() + path; }
    // Signs in and returns the "session" object (empty on failure).
    QJsonObject signIn(const QString &email = kEmail, const QString &password = kPassword);
    QString publish(const QByteArray &bundle, const QStringList &extra = {});

    std::unique_ptr<LocalBackend> backend;
    HttpClient http;
    QString userId;
};

void TestLocalBackend::init()
{
    backend = std::make_unique<LocalBackend>();
    QVERIFY(backend->isValid());
    userId = backend->createUser(kEmail, kPassword);
    QVERIFY(!userId.isEmpty());
}

void TestLocalBackend::cleanup()
{
    backend.reset();
}

QJsonObject TestLocalBackend::signIn(const QString &email, const QString &password)
{
    const HttpReply r = http.post(url("/signin/email-password"), credentials(email, password));
    return r.status == 200 ? r.json().value("session").toObject() : QJsonObject();
}

QString TestLocalBackend::publish(const QByteArray &bundle, const QStringList &extra)
{
    const QString file = backend->filePath("bundle.rcc");
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(bundle) != bundle.size())
        return {};
    f.close();
    const CliResult r =
        backend->cli("publish-bundle", QStringList{"--email", kEmail, "--file", file} + extra);
    return r.exitCode == 0 ? file : QString();
}

void TestLocalBackend::passwordHashesAreSaltedAndVerified()
{
    using namespace backend::crypto;
    const std::string first = hashPassword("s3cret");
    const std::string second = hashPassword("s3cret");
    QVERIFY(first != second);
    QVERIFY(verifyPassword("s3cret", first));
    QVERIFY(verifyPassword("s3cret", second));
    QVERIFY(!verifyPassword("s3creT", first));
    QVERIFY(!verifyPassword("", first));
    const QList<QByteArray> parts = QByteArray::fromStdString(first).split('$');
    QCOMPARE(parts.size(), 4);
    QVERIFY(parts[1].toInt() >= 100000);
}

void TestLocalBackend::malformedStoredHashesNeverVerify_data()
{
    QTest::addColumn<QByteArray>("stored");
    const QByteArray salt = "c2FsdHNhbHRzYWx0c2FsdA==";
    const QByteArray hash = "YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWE=";
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("other scheme") << "md5$1$" + salt + "$" + hash;
    QTest::newRow("missing hash") << "pbkdf2-sha256$1000$" + salt;
    QTest::newRow("zero iterations") << "pbkdf2-sha256$0$" + salt + "$" + hash;
    QTest::newRow("absurd iterations") << "pbkdf2-sha256$999999999999$" + salt + "$" + hash;
    QTest::newRow("negative iterations") << "pbkdf2-sha256$-5$" + salt + "$" + hash;
    QTest::newRow("salt not base64") << "pbkdf2-sha256$1000$%%%%$" + hash;
    QTest::newRow("short hash") << "pbkdf2-sha256$1000$" + salt + "$YWFh";
}

void TestLocalBackend::malformedStoredHashesNeverVerify()
{
    QFETCH(QByteArray, stored);
    QVERIFY(!backend::crypto::verifyPassword("", stored.toStdString()));
    QVERIFY(!backend::crypto::verifyPassword("aaaa", stored.toStdString()));
}

void TestLocalBackend::signInIssuesSessionAndStoresOnlyDigests()
{
    QVERIFY(backend->start({"--token-lifetime", "1234"}));
    // E-mail addresses match whatever their case.
    const QJsonObject session = signIn("ADA@Example.COM");
    const QString access = session.value("accessToken").toString();
    const QString refresh = session.value("refreshToken").toString();
    QVERIFY(access.size() >= 32);
    QVERIFY(refresh.size() >= 32);
    QVERIFY(access != refresh);
    QCOMPARE(session.value("accessTokenExpiresIn").toInt(), 1234);
    const QJsonObject user = session.value("user").toObject();
    QCOMPARE(user.value("id").toString(), userId);
    QCOMPARE(user.value("email").toString(), kEmail);
    QCOMPARE(user.value("metadata").toObject().value("rcc_update_available"), QJsonValue(false));

    const HttpReply me = http.get(url("/user"), access);
    QCOMPARE(me.status, 200);
    QCOMPARE(me.json(), user);

    // Neither the tokens nor the password may be readable from the database files.
    QByteArray files;
    for (const char *suffix : {"", "-wal"}) {
        QFile f(backend->dbPath() + suffix);
        if (f.open(QIODevice::ReadOnly))
            files += f.readAll();
    }
    QVERIFY(!files.isEmpty());
    QVERIFY(!files.contains(access.toUtf8()));
    QVERIFY(!files.contains(refresh.toUtf8()));
    QVERIFY(!files.contains(kPassword.toUtf8()));
}

void TestLocalBackend::rejectedRequests_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");

    const QString signin = "/signin/email-password";
    const QString invalid = "invalid-request";
    QTest::newRow("sign-in: not JSON")
        << signin << QByteArray("email=a&password=b") << 400 << invalid;
    QTest::newRow("sign-in: empty body") << signin << QByteArray() << 400 << invalid;
    QTest::newRow("sign-in: array")
        << signin << QByteArray(R"([{"email":"a","password":"b"}])") << 400 << invalid;
    QTest::newRow("sign-in: e-mail a number")
        << signin << QByteArray(R"({"email":5,"password":"b"})") << 400 << invalid;
    QTest::newRow("sign-in: password null")
        << signin << QByteArray(R"({"email":"ada@example.com","password":null})") << 400 << invalid;
    QTest::newRow("sign-in: password missing")
        << signin << QByteArray(R"({"email":"ada@example.com"})") << 400 << invalid;
    QTest::newRow("sign-in: trailing bytes")
        << signin << credentials(kEmail, kPassword) + " {}" << 400 << invalid;
    QTest::newRow("sign-in: deeply nested") << signin << QByteArray(200000, '[') << 400 << invalid;
    QTest::newRow("sign-in: invalid UTF-8")
        << signin << QByteArray("{\"email\":\"\xff\xfe\",\"password\":\"b\"}") << 400 << invalid;
    QTest::newRow("sign-in: lone surrogate")
        << signin << QByteArray(R"({"email":"\ud800","password":"b"})") << 400 << invalid;
    QTest::newRow("sign-in: unknown e-mail")
        << signin << credentials("nobody@example.com", kPassword) << 400 << "EMAIL_NOT_FOUND";
    QTest::newRow("sign-in: wrong password")
        << signin << credentials(kEmail, "battery staple") << 401 << "invalid-email-password";
    QTest::newRow("reset: unknown e-mail")
        << "/user/password/reset" << QByteArray(R"({"email":"nobody@example.com"})") << 400
        << "EMAIL_NOT_FOUND";
    QTest::newRow("reset: options not an object")
        << "/user/password/reset" << QByteArray(R"({"email":"ada@example.com","options":"x"})")
        << 400 << invalid;
    QTest::newRow("reset: redirectTo not a string")
        << "/user/password/reset"
        << QByteArray(R"({"email":"ada@example.com","options":{"redirectTo":[]}})") << 400
        << invalid;
    QTest::newRow("token: unknown")
        << "/token" << QByteArray(R"({"refreshToken":"nope"})") << 401 << "invalid-refresh-token";
    QTest::newRow("token: empty") << "/token" << QByteArray(R"({"refreshToken":""})") << 401
                                  << "invalid-refresh-token";
    QTest::newRow("token: a number")
        << "/token" << QByteArray(R"({"refreshToken":7})") << 400 << invalid;
    QByteArray huge = credentials(kEmail, kPassword);
    huge.insert(1, "\"padding\":\"" + QByteArray(20 * 1024 * 1024, 'x') + "\",");
    QTest::newRow("sign-in: 20 MB body") << signin << huge << 413 << "payload-too-large";
    QTest::newRow("unknown route") << "/signup" << QByteArray("{}") << 404 << "not-found";
}

void TestLocalBackend::rejectedRequests()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, error);
    QVERIFY(backend->start());

    const HttpReply r = http.post(url(path), body);
    QCOMPARE(r.status, status);
    QVERIFY2(r.headers.value("content-type").startsWith("application/json"), r.body);
    QCOMPARE(r.error(), error);
    // The server is still there and the account unharmed.
    QVERIFY(!signIn().isEmpty());
}

void TestLocalBackend::accessTokenExpires()
{
    QVERIFY(backend->start({"--token-lifetime", "2"}));
    const QJsonObject session = signIn();
    QCOMPARE(session.value("accessTokenExpiresIn").toInt(), 2);
    const QString access = session.value("accessToken").toString();
    QCOMPARE(http.get(url("/user"), access).status, 200);
    QTRY_COMPARE_WITH_TIMEOUT(http.get(url("/user"), access).status, 401, kWaitMs);
    const HttpReply expired = http.get(url("/user"), access);
    QCOMPARE(expired.error(), QStringLiteral("invalid-token"));
    QCOMPARE(expired.headers.value("www-authenticate"), QByteArray("Bearer"));

    // The refresh token outlives the access token.
    const HttpReply renewed = http.post(
        url("/token"),
        QJsonDocument(QJsonObject{{"refreshToken", session.value("refreshToken")}}).toJson());
    QCOMPARE(renewed.status, 200);
    QCOMPARE(http.get(url("/user"), renewed.json().value("accessToken").toString()).status, 200);
}

void TestLocalBackend::refreshTokensRotate()
{
    QVERIFY(backend->start());
    const QJsonObject session = signIn();
    auto exchange = [&](const QJsonValue &token) {
        return http.post(url("/token"),
                         QJsonDocument(QJsonObject{{"refreshToken", token}}).toJson());
    };

    const HttpReply first = exchange(session.value("refreshToken"));
    QCOMPARE(first.status, 200);
    const QJsonObject pair = first.json();
    QCOMPARE(pair.keys(), (QStringList{"accessToken", "accessTokenExpiresIn", "refreshToken"}));
    QCOMPARE(pair.value("accessTokenExpiresIn").toInt(), 900);
    QVERIFY(pair.value("refreshToken") != session.value("refreshToken"));
    QVERIFY(pair.value("accessToken") != session.value("accessToken"));
    QCOMPARE(http.get(url("/user"), pair.value("accessToken").toString()).status, 200);

    const HttpReply reused = exchange(session.value("refreshToken"));
    QCOMPARE(reused.status, 401);
    QCOMPARE(reused.error(), QStringLiteral("invalid-refresh-token"));

    QCOMPARE(exchange(pair.value("refreshToken")).status, 200);
}

void TestLocalBackend::concurrentRefreshSpendsTokenOnce()
{
    QVERIFY(backend->start());
    const QByteArray body =
        QJsonDocument(QJsonObject{{"refreshToken", signIn().value("refreshToken")}}).toJson();
    QList<QNetworkReply *> replies;
    for (int i = 0; i < 8; ++i) {
        QNetworkRequest request(QUrl(url("/token")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        replies << http.nam.post(request, body);
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(replies.cbegin(), replies.cend(),
                                         [](QNetworkReply *r) { return r->isFinished(); }),
                             kWaitMs);
    QList<int> statuses;
    for (QNetworkReply *r : replies) {
        statuses << r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r->deleteLater();
    }
    QCOMPARE(statuses.count(200), 1);
    QCOMPARE(statuses.count(401), 7);
}

void TestLocalBackend::lockOutAfterConsecutiveFailures()
{
    QVERIFY(backend->start({"--lockout-threshold", "3", "--lockout-seconds", "2"}));
    QVERIFY(!backend->createUser("bob@example.com", kPassword).isEmpty());
    auto attempt = [&](const QString &password, const QString &email = kEmail) {
        return http.post(url("/signin/email-password"), credentials(email, password));
    };

    // A success in between starts the count afresh.
    QCOMPARE(attempt("wrong").status, 401);
    QCOMPARE(attempt("wrong").status, 401);
    QCOMPARE(attempt(kPassword).status, 200);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(attempt("wrong").error(), QStringLiteral("invalid-email-password"));

    const HttpReply locked = attempt(kPassword);
    QCOMPARE(locked.status, 429);
    QCOMPARE(locked.error(), kTooMany);
    QVERIFY(locked.headers.value("retry-after").toInt() >= 1);
    QCOMPARE(attempt("wrong").status, 429);
    // Another account is unaffected.
    QCOMPARE(attempt(kPassword, "bob@example.com").status, 200);

    QTRY_COMPARE_WITH_TIMEOUT(attempt(kPassword).status, 200, kWaitMs);
    // After the lock the account gets the full number of attempts again.
    QCOMPARE(attempt("wrong").status, 401);
}

void TestLocalBackend::setPasswordLiftsLockOutAndEndsSessions()
{
    QVERIFY(backend->start());
    const QJsonObject session = signIn();
    for (int i = 0; i < 5; ++i)
        QCOMPARE(http.post(url("/signin/email-password"), credentials(kEmail, "wrong")).status,
                 401);
    QCOMPARE(http.post(url("/signin/email-password"), credentials(kEmail, kPassword)).status, 429);

    const CliResult r =
        backend->cli("set-password", {"--email", kEmail, "--password", "new password"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(http.post(url("/signin/email-password"), credentials(kEmail, kPassword)).status, 401);
    QVERIFY(!signIn(kEmail, "new password").isEmpty());
    // Whoever held the old password loses the sessions it opened.
    QCOMPARE(http.get(url("/user"), session.value("accessToken").toString()).status, 401);
    QCOMPARE(http.post(url("/token"),
                       QJsonDocument(QJsonObject{{"refreshToken", session.value("refreshToken")}})
                           .toJson())
                 .status,
             401);
}

void TestLocalBackend::dashboardFunctionAuthorisation_data()
{
    QTest::addColumn<QString>("token"); // "valid", "none" or a literal token
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");

    QTest::newRow("no token") << "none"
                              << "?user_id=%ID" << 401 << "invalid-token";
    QTest::newRow("unknown token") << "bogus"
                                   << "?user_id=%ID" << 401 << "invalid-token";
    QTest::newRow("another account") << "valid"
                                     << "?user_id=%OTHER" << 403 << "";
    QTest::newRow("no user_id") << "valid"
                                << "" << 400 << "invalid-request";
    QTest::newRow("nothing published")
        << "valid"
        << "?user_id=%ID" << 404 << "No dashboard has been published for this account.";
}

void TestLocalBackend::dashboardFunctionAuthorisation()
{
    QFETCH(QString, token);
    QFETCH(QString, query);
    QFETCH(int, status);
    QFETCH(QString, error);

    const QString otherId = backend->createUser("bob@example.com", kPassword);
    QVERIFY(backend->start());
    // Only the other account has a bundle, so a 403 cannot be a 404 in disguise.
    QFile file(backend->filePath("bob.rcc"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("qres-bob") == 8);
    file.close();
    QCOMPARE(
        backend->cli("publish-bundle", {"--email", "bob@example.com", "--file", file.fileName()})
            .exitCode,
        0);
    const QString bearer = token == "valid"  ? signIn().value("accessToken").toString()
                           : token == "none" ? QString()
                                             : token;
    query.replace("%ID", userId).replace("%OTHER", otherId);
    const HttpReply r = http.get(url("/get_dashboard_rcc" + query), bearer);
    QCOMPARE(r.status, status);
    if (error.isEmpty())
        QVERIFY(!r.error().isEmpty());
    else
        QCOMPARE(r.error(), error);
}

void TestLocalBackend::bundleDelivery_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("publishArgs");
    QTest::addColumn<QString>("laterFormat");
    QTest::addColumn<bool>("base64");

    QTest::newRow("raw") << 4096 << QStringList() << "" << false;
    QTest::newRow("base64 on publish") << 4096 << QStringList{"--format", "base64"} << "" << true;
    QTest::newRow("base64 by set-format") << 4096 << QStringList() << "base64" << true;
    QTest::newRow("back to raw") << 4096 << QStringList{"--format", "base64"} << "raw" << false;
    QTest::newRow("20 MB raw") << 20 * 1024 * 1024 << QStringList() << "" << false;
    QTest::newRow("20 MB base64") << 20 * 1024 * 1024 << QStringList{"--format", "base64"} << ""
                                  << true;
}

void TestLocalBackend::bundleDelivery()
{
    QFETCH(int, size);
    QFETCH(QStringList, publishArgs);
    QFETCH(QString, laterFormat);
    QFETCH(bool, base64);

    QByteArray bundle(size, Qt::Uninitialized);
    QRandomGenerator rng(size);
    rng.fillRange(reinterpret_cast<quint32 *>(bundle.data()), size / 4);
    bundle.replace(0, 4, "qres");
    QVERIFY(backend->start());
    const QString access = signIn().value("accessToken").toString();
    QVERIFY(!publish(bundle, publishArgs).isEmpty());
    if (!laterFormat.isEmpty())
        QCOMPARE(backend->cli("set-format", {"--email", kEmail, "--format", laterFormat}).exitCode,
                 0);

    const QJsonObject me = http.get(url("/user"), access).json();
    QCOMPARE(me.value("metadata").toObject().value("rcc_update_available"), QJsonValue(true));

    const HttpReply r = http.get(url("/get_dashboard_rcc?user_id=" + userId), access);
    QCOMPARE(r.status, 200);
    if (base64) {
        QVERIFY(r.headers.value("content-type").startsWith("application/json"));
        const QString encoded = r.json().value("payload_base64").toString();
        QCOMPARE(
            QByteArray::fromBase64(encoded.toLatin1(), QByteArray::AbortOnBase64DecodingErrors),
            bundle);
    } else {
        QCOMPARE(r.headers.value("content-type"), QByteArray("application/octet-stream"));
        QCOMPARE(r.body.size(), bundle.size());
        QVERIFY(r.body == bundle);
    }
}

void TestLocalBackend::clearingTheUpdateFlag()
{
    QVERIFY(backend->start());
    const QString access = signIn().value("accessToken").toString();
    auto flag = [&] {
        return http.get(url("/user"), access)
            .json()
            .value("metadata")
            .toObject()
            .value("rcc_update_available");
    };
    QVERIFY(!publish("qres-1").isEmpty());
    QCOMPARE(flag(), QJsonValue(true));

    QCOMPARE(http.post(url("/clear_rcc_update"), "{}").status, 401);
    QCOMPARE(http.post(url("/clear_rcc_update"), "{}", "bogus").status, 401);
    QCOMPARE(http.post(url("/clear_rcc_update"), "not json", access).status, 400);
    QCOMPARE(flag(), QJsonValue(true));

    const HttpReply cleared = http.post(url("/clear_rcc_update"), "{}", access);
    QCOMPARE(cleared.status, 200);
    QCOMPARE(cleared.json(), QJsonObject({{"ok", true}}));
    QCOMPARE(flag(), QJsonValue(false));
    QCOMPARE(
        backend->cli("show-user", {"--email", kEmail}).out.trimmed(),
        QByteArray(R"({"id":")" + userId.toUtf8() +
                   R"(","email":"ada@example.com","metadata":{"rcc_update_available":false}})"));

    // The next publication raises the flag again.
    QVERIFY(!publish("qres-2").isEmpty());
    QCOMPARE(flag(), QJsonValue(true));
}

void TestLocalBackend::passwordResetThroughOutboxLink()
{
    QVERIFY(backend->start());
    const QString redirect = "http://localhost:9/after-reset?from=mail";
    const HttpReply r =
        http.post(url("/user/password/reset"),
                  QJsonDocument(QJsonObject{{"email", "Ada@Example.com"},
                                            {"options", QJsonObject{{"redirectTo", redirect}}}})
                      .toJson());
    QCOMPARE(r.status, 200);
    QCOMPARE(r.body, QByteArray("{}"));

    const CliResult outbox = backend->cli("outbox");
    QCOMPARE(outbox.exitCode, 0);
    const QList<QByteArray> lines = outbox.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    const QList<QByteArray> fields = lines.first().split(' ');
    QCOMPARE(fields.size(), 3);
    QVERIFY(QDateTime::fromString(QString::fromLatin1(fields[0]), Qt::ISODate).isValid());
    QCOMPARE(fields[1], kEmail.toUtf8());
    const QUrl link(QString::fromUtf8(fields[2]));
    QVERIFY(link.toString().startsWith(backend->baseUrl() + "/"));
    const QUrlQuery query(link);
    const QString ticket = query.queryItemValue("ticket");
    QVERIFY(!ticket.isEmpty());
    QCOMPARE(query.queryItemValue("redirectTo", QUrl::FullyDecoded), redirect);

    const HttpReply page = http.get(link.toString());
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("<form"));

    auto submit = [&](const QString &password) {
        QUrlQuery form;
        form.addQueryItem("ticket", ticket);
        form.addQueryItem("password", password);
        return http.send("POST", backend->baseUrl() + "/reset-password",
                         form.toString(QUrl::FullyEncoded).toUtf8(), {},
                         "application/x-www-form-urlencoded");
    };
    QCOMPARE(submit("").status, 400); // refused without spending the ticket
    const HttpReply done = submit("brand new");
    QCOMPARE(done.status, 303);
    QCOMPARE(done.headers.value("location"), redirect.toUtf8());
    QCOMPARE(submit("again").status, 400);
    QCOMPARE(http.get(link.toString()).status, 400);

    QVERIFY(signIn(kEmail, kPassword).isEmpty());
    QVERIFY(!signIn(kEmail, "brand new").isEmpty());
}

void TestLocalBackend::stateSurvivesRestart()
{
    QVERIFY(backend->start());
    const QJsonObject session = signIn();
    QVERIFY(!publish("qres-persisted", {"--format", "base64"}).isEmpty());
    QVERIFY(backend->stop());
    QVERIFY(!QFile::exists(backend->filePath("port")));

    QVERIFY(backend->start());
    const QString access = session.value("accessToken").toString();
    const HttpReply me = http.get(url("/user"), access);
    QCOMPARE(me.status, 200);
    QCOMPARE(me.json().value("metadata").toObject().value("rcc_update_available"),
             QJsonValue(true));
    const HttpReply bundle = http.get(url("/get_dashboard_rcc?user_id=" + userId), access);
    QCOMPARE(bundle.json().value("payload_base64").toString(),
             QString::fromLatin1(QByteArray("qres-persisted").toBase64()));
    QCOMPARE(http.post(url("/token"),
                       QJsonDocument(QJsonObject{{"refreshToken", session.value("refreshToken")}})
                           .toJson())
                 .status,
             200);
}

void TestLocalBackend::logNamesRequestsButNoSecrets()
{
    QVERIFY(backend->start());
    const QJsonObject session = signIn();
    const QString access = session.value("accessToken").toString();
    const HttpReply renewed = http.post(
        url("/token"),
        QJsonDocument(QJsonObject{{"refreshToken", session.value("refreshToken")}}).toJson());
    QCOMPARE(http.get(url("/user?access_token=" + access), access).status, 200);
    QCOMPARE(http.post(url("/user/password/reset"), R"({"email":"ada@example.com"})").status, 200);
    const QUrl link(QString::fromUtf8(backend->cli("outbox").out.trimmed().split(' ').last()));
    QCOMPARE(http.get(link.toString()).status, 200);

    QVERIFY(backend->stop());
    const QByteArray log = backend->log();
    for (const char *line :
         {" POST /v1/signin/email-password 200\n", " POST /v1/token 200\n", " GET /v1/user 200\n",
          " POST /v1/user/password/reset 200\n", " GET /v1/reset-password 200\n"})
        QVERIFY2(log.contains(line), line);
    const QStringList secrets = {kPassword,
                                 access,
                                 session.value("refreshToken").toString(),
                                 renewed.json().value("accessToken").toString(),
                                 renewed.json().value("refreshToken").toString(),
                                 QUrlQuery(link).queryItemValue("ticket")};
    for (const QString &secret : secrets)
        QVERIFY2(!log.contains(secret.toUtf8()), qPrintable(secret));
}

void TestLocalBackend::operatorErrors_data()
{
    QTest::addColumn<QStringList>("args"); // %DB and %DIR are replaced
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("no command") << QStringList() << 2 << QByteArray("Usage:");
    QTest::newRow("unknown command")
        << QStringList{"frobnicate"} << 2 << QByteArray("unknown command");
    QTest::newRow("missing --db") << QStringList{"show-user", "--email", kEmail} << 2
                                  << QByteArray("--db");
    QTest::newRow("option without value")
        << QStringList{"show-user", "--db", "%DB", "--email"} << 2 << QByteArray("needs a value");
    QTest::newRow("unknown option") << QStringList{"outbox", "--db", "%DB", "--verbose", "1"} << 2
                                    << QByteArray("unknown option --verbose");
    QTest::newRow("port not a number")
        << QStringList{"serve", "--db", "%DB", "--port", "http"} << 2 << QByteArray("--port");
    QTest::newRow("port out of range")
        << QStringList{"serve", "--db", "%DB", "--port", "70000"} << 2 << QByteArray("--port");
    QTest::newRow("negative lifetime")
        << QStringList{"serve", "--db", "%DB", "--token-lifetime", "-1"} << 2
        << QByteArray("--token-lifetime");
    QTest::newRow("e-mail taken in another case")
        << QStringList{"create-user",     "--db",       "%DB", "--email",
                       "ADA@example.com", "--password", "x"}
        << 1 << QByteArray("already exists");
    QTest::newRow("id that escapes a directory")
        << QStringList{"create-user", "--db", "%DB",  "--email",  "eve@example.com",
                       "--password",  "x",    "--id", "../../eve"}
        << 2 << QByteArray("--id");
    QTest::newRow("not an e-mail")
        << QStringList{"create-user", "--db", "%DB", "--email", "eve", "--password", "x"} << 2
        << QByteArray("not an e-mail");
    QTest::newRow("unknown user") << QStringList{"set-password",    "--db",       "%DB", "--email",
                                                 "eve@example.com", "--password", "x"}
                                  << 1 << QByteArray("no account with e-mail eve@example.com");
    QTest::newRow("missing bundle file")
        << QStringList{"publish-bundle",  "--db", "%DB", "--email", kEmail, "--file",
                       "%DIR/missing.rcc"}
        << 1 << QByteArray("cannot read bundle file");
    QTest::newRow("empty bundle file")
        << QStringList{"publish-bundle", "--db",   "%DB",           "--email",
                       kEmail,           "--file", "%DIR/empty.rcc"}
        << 1 << QByteArray("is empty");
    QTest::newRow("unknown format")
        << QStringList{"set-format", "--db", "%DB", "--email", kEmail, "--format", "zip"} << 2
        << QByteArray("raw or base64");
    QTest::newRow("no such database")
        << QStringList{"show-user", "--db", "%DIR/nope/none.db", "--email", kEmail} << 1
        << QByteArray("cannot open database");
}

void TestLocalBackend::operatorErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    QFile empty(backend->filePath("empty.rcc"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    for (QString &arg : args)
        arg.replace("%DB", backend->dbPath()).replace("%DIR", backend->filePath("."));
    const CliResult r = LocalBackend::run(args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), r.err);
    QVERIFY(r.out.isEmpty());
    // The account is untouched by the failed command.
    const CliResult shown = backend->cli("show-user", {"--email", kEmail});
    QCOMPARE(shown.exitCode, 0);
    QVERIFY(shown.out.contains(userId.toUtf8()));
}

QTEST_GUILESS_MAIN(TestLocalBackend)
#include "tst_local_backend.moc"
