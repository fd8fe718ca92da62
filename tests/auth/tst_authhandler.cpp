#include "auth/authhandler.h"
#include "support/scripted_http_server.h"

#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using Request = ScriptedHttpServer::Request;
using Response = ScriptedHttpServer::Response;

namespace {

QByteArray sessionReply(const QString &access, qint64 lifetime = 900)
{
    const QJsonObject user{{"id", "user-1"}, {"email", "u@example.org"}};
    const QJsonObject session{{"accessToken", access},
                              {"refreshToken", "refresh-new"},
                              {"accessTokenExpiresIn", lifetime},
                              {"user", user}};
    return QJsonDocument(QJsonObject{{"session", session}}).toJson();
}

const QByteArray kFlagSet = R"({"id":"user-1","metadata":{"rcc_update_available":true}})";

} // namespace

class AuthHandlerTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QTest::failOnWarning(QRegularExpression(".*"));
        dir = std::make_unique<QTemporaryDir>();
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir->path());
        scripted.clear();
        server = std::make_unique<ScriptedHttpServer>();
        QVERIFY(server->start());
        // Per path, so that overlapping requests cannot take each other's answers.
        server->setHandler([this](const Request &request) {
            QList<Response> &queue = scripted[request.path()];
            return queue.isEmpty() ? Response::json(200, "{}") : queue.takeFirst();
        });
        qunsetenv("CORVALEN_RESET_PASSWORD_REDIRECT_URL");
        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL", (server->baseUrl() + "/clear").toUtf8());
        createHandler(server->baseUrl() + "/v1");
    }
    void cleanup()
    {
        answers.reset();
        auth.reset();
        server.reset();
        qunsetenv("CORVALEN_AUTH_BASE_URL");
        qunsetenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL");
    }

    void renewalInterval_data()
    {
        QTest::addColumn<qint64>("lifetime");
        QTest::addColumn<qint64>("interval");
        QTest::newRow("15 min") << qint64(900) << qint64(840000);
        QTest::newRow("1 h") << qint64(3600) << qint64(3540000);
        QTest::newRow("4000 s") << qint64(4000) << qint64(3940000);
        QTest::newRow("30 s") << qint64(30) << qint64(24000);
        QTest::newRow("margin capped at fifth") << qint64(299) << qint64(240000);
        QTest::newRow("1 s") << qint64(1) << qint64(1000);
        QTest::newRow("zero") << qint64(0) << qint64(3600000);
        QTest::newRow("negative") << qint64(-900) << qint64(3600000);
    }
    void renewalInterval()
    {
        QFETCH(qint64, lifetime);
        QFETCH(qint64, interval);
        QCOMPARE(tokenRenewalIntervalMs(lifetime), interval);
    }
    void tokenTimerFromStore_data()
    {
        QTest::addColumn<QVariant>("lifetime"); // invalid: key absent
        QTest::addColumn<int>("interval");      // -1: not armed
        QTest::newRow("absent") << QVariant() << -1;
        QTest::newRow("900") << QVariant(900) << 840000;
        QTest::newRow("non-numeric") << QVariant("soon") << 3600000;
        QTest::newRow("beyond QTimer range") << QVariant(qint64(4000000000)) << INT_MAX;
    }
    void tokenTimerFromStore()
    {
        QFETCH(QVariant, lifetime);
        QFETCH(int, interval);
        if (lifetime.isValid())
            auth->Settings().setValue("tokenLifeTime", lifetime);
        auth->StartTokenTimer();
        QCOMPARE(auth->tokenTimer.isActive(), interval >= 0);
        if (interval >= 0)
            QCOMPARE(auth->tokenTimer.interval(), interval);
    }
    void storedSession_data()
    {
        QTest::addColumn<QVariantMap>("store");
        QTest::addColumn<bool>("hasSession");
        QTest::addColumn<QString>("accessToken"); // null: none stored

        QTest::newRow("empty store") << QVariantMap() << false << QString();
        QTest::newRow("no refresh token")
            << QVariantMap{{"id", "u"}, {"email", "e"}, {"refreshToken", ""}} << false << QString();
        QTest::newRow("complete") << QVariantMap{{"id", "u"},
                                                 {"email", "e"},
                                                 {"refreshToken", "cg=="},
                                                 {"token", "YWJj"}}
                                  << true << "abc";
        QTest::newRow("blanks around base64")
            << QVariantMap{{"token", " \tYWJj\n"}} << false << "abc";
        QTest::newRow("blanks inside token")
            << QVariantMap{{"token", EncodeStoredValue(" abc ")}} << false << "abc";
        QTest::newRow("junk characters skipped")
            << QVariantMap{{"token", "YW*J$j"}} << false << "abc";
    }
    void storedSession()
    {
        QFETCH(QVariantMap, store);
        QFETCH(bool, hasSession);
        QFETCH(QString, accessToken);
        for (auto it = store.cbegin(); it != store.cend(); ++it)
            auth->Settings().setValue(it.key(), it.value());
        QCOMPARE(auth->HasStoredSession(), hasSession);
        QCOMPARE(auth->GetAccessToken(), accessToken);
        QCOMPARE(auth->GetAccessToken().isNull(), accessToken.isNull());
    }
    void requestBodies_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("redirect");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("sign-in, nothing trimmed")
            << "signin" << QByteArray() << "/v1/signin/email-password"
            << QByteArray("{\n    \"email\": \" a@b.c\",\n    \"password\": \" p w \"\n}\n");
        QTest::newRow("reset") << "reset" << QByteArray() << "/v1/user/password/reset"
                               << QByteArray("{\n    \"email\": \" a@b.c\"\n}\n");
        QTest::newRow("reset with redirect")
            << "reset" << QByteArray("  https://x.example/done \t") << "/v1/user/password/reset"
            << QByteArray(
                   "{\n    \"email\": \" a@b.c\",\n    \"options\": {\n        \"redirectTo\": "
                   "\"https://x.example/done\"\n    }\n}\n");
        QTest::newRow("refresh from store")
            << "refresh" << QByteArray() << "/v1/token"
            << QByteArray("{\n    \"refreshToken\": \"refresh-old\"\n}\n");
    }
    void requestBodies()
    {
        QFETCH(QString, operation);
        QFETCH(QByteArray, redirect);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);

        if (!redirect.isEmpty())
            qputenv("CORVALEN_RESET_PASSWORD_REDIRECT_URL", redirect);
        if (operation == "signin") {
            auth->SignIn(" a@b.c", " p w ");
        } else if (operation == "reset") {
            auth->ResetPassword(" a@b.c");
        } else {
            storeSession();
            auth->GetNewAccessToken();
        }
        QVERIFY(answered());
        const Request request = server->lastRequest();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path(), path);
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
        QCOMPARE(request.body, body);
    }
    void signInReplies_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("emitted"); // an entry ending in '*' is a prefix

        const QStringList invalid{"Invalid response from server"};
        QTest::newRow("session") << 200 << sessionReply("access-new")
                                 << QStringList{"USER_AUTENTICATED"};
        QTest::newRow("null session")
            << 200 << QByteArray(R"({"session":null})") << QStringList{"USER_ALREADY_LOGGED_IN"};
        QTest::newRow("session without token")
            << 200 << sessionReply("") << QStringList{"USER_ALREADY_LOGGED_IN"};
        QTest::newRow("session of wrong type")
            << 200 << QByteArray(R"({"session":[1]})") << QStringList{"USER_ALREADY_LOGGED_IN"};
        QTest::newRow("service error") << 401 << QByteArray(R"({"error":"invalid-email-password"})")
                                       << QStringList{"invalid-email-password"};
        QTest::newRow("message") << 400 << QByteArray(R"({"message":"  EMAIL_NOT_FOUND \n"})")
                                 << QStringList{"EMAIL_NOT_FOUND"};
        QTest::newRow("empty error, description")
            << 400 << QByteArray(R"({"error":"","error_description":" Locked "})")
            << QStringList{"Locked"};
        QTest::newRow("error of wrong type") << 400 << QByteArray(R"({"error":5})") << invalid;
        QTest::newRow("empty object") << 200 << QByteArray("{}") << QStringList();
        QTest::newRow("unrelated member") << 200 << QByteArray(R"({"ok":true})") << invalid;
        QTest::newRow("array") << 200 << QByteArray(R"([{"error":"x"}])") << QStringList();
        QTest::newRow("plain text") << 200 << QByteArray("Service ready") << invalid;
        QTest::newRow("empty body") << 200 << QByteArray() << invalid;
        QTest::newRow("20 MB junk") << 200 << QByteArray(20 * 1024 * 1024, 'x') << invalid;
        QTest::newRow("HTTP error without body")
            << 503 << QByteArray() << QStringList{"HTTP 503: *"};
    }
    void signInReplies()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, emitted);

        storeSession();
        Response response = Response::json(status, body);
        script("/v1/signin/email-password", response);
        if (status >= 400)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^REST request failed: "));
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        auth->SignIn("u@example.org", "secret");
        QVERIFY(answered());

        QCOMPARE(responses.size(), emitted.size());
        for (int i = 0; i < emitted.size(); ++i) {
            const QString text = responses.at(i).at(0).toString();
            if (emitted.at(i).endsWith('*'))
                QVERIFY2(text.startsWith(emitted.at(i).chopped(1)), qPrintable(text));
            else
                QCOMPARE(text, emitted.at(i));
        }

        QSettings &s = auth->Settings();
        const bool signedIn = emitted == QStringList{"USER_AUTENTICATED"};
        QCOMPARE(DecodeStoredValue(s.value("token").toString()),
                 signedIn ? "access-new" : "access-old");
        QCOMPARE(DecodeStoredValue(s.value("refreshToken").toString()),
                 signedIn ? "refresh-new" : "refresh-old");
        QCOMPARE(s.value("id").toString(), QString("user-1"));
        // A session reply replaces the refresh token in memory, even without an access token.
        if (emitted == QStringList{"USER_ALREADY_LOGGED_IN"})
            QCOMPARE(auth->refreshToken, body.contains("refresh-new") ? "refresh-new" : "");
        if (signedIn) {
            QCOMPARE(auth->tokenTimer.interval(), 840000);
            QVERIFY(auth->rccCheckTimer.isActive());
            QCOMPARE(auth->rccCheckTimer.interval(), 300000);
        }
    }
    void refreshSucceeds_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("nextRefreshToken");
        QTest::addColumn<int>("interval");

        QTest::newRow("rotated")
            << QByteArray(R"({"accessToken":"a2","refreshToken":"r2","accessTokenExpiresIn":3600})")
            << "r2" << 3540000;
        // The current refresh token must survive a reply that brings no new one.
        QTest::newRow("not rotated")
            << QByteArray(R"({"accessToken":"a2"})") << "refresh-old" << 3600000;
    }
    void refreshSucceeds()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, nextRefreshToken);
        QFETCH(int, interval);

        storeSession();
        script("/v1/token", Response::json(200, reply));
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        auth->GetNewAccessToken();
        auth->GetNewAccessToken();
        QVERIFY(answered());
        QCOMPARE(count("/v1/token"), 1);
        QCOMPARE(refreshed.size(), 1);
        QCOMPARE(auth->GetAccessToken(), QString("a2"));
        QCOMPARE(auth->Settings().value("id").toString(), QString("user-1"));
        QCOMPARE(auth->tokenTimer.interval(), interval);

        auth->GetNewAccessToken();
        QVERIFY(answered(2));
        QCOMPARE(QJsonDocument::fromJson(server->lastRequest().body)["refreshToken"].toString(),
                 nextRefreshToken);
    }
    void refreshFailuresEndSession_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("reported"); // the failure carries a text for SignInResponse

        QTest::newRow("not JSON") << 200 << QByteArray("<html>") << false;
        QTest::newRow("empty object") << 200 << QByteArray("{}") << false;
        QTest::newRow("service error")
            << 401 << QByteArray(R"({"error":"invalid-refresh-token"})") << true;
    }
    void refreshFailuresEndSession()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, reported);

        for (int i = 0; i < 3; ++i)
            script("/v1/token", Response::json(status, body));
        if (status != 200) {
            for (int i = 0; i < 3; ++i)
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^REST request failed: "));
        }
        storeSession();
        // As the application does: the sign-out clears the session inside the emitting step.
        connect(auth.get(), &AuthHandler::SignOutUser, auth.get(), &AuthHandler::ClearSession);
        QSignalSpy signOut(auth.get(), &AuthHandler::SignOutUser);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);

        for (int attempt = 1; attempt <= 2; ++attempt) {
            auth->GetNewAccessToken(); // what the 30 s retry would call
            QVERIFY(answered(attempt));
            QVERIFY(auth->tokenTimer.isActive());
            QCOMPARE(auth->tokenTimer.interval(), 30000);
            auth->StartTokenTimer(); // leaves the pending retry alone
            QCOMPARE(auth->tokenTimer.interval(), 30000);
            QCOMPARE(signOut.size(), 0);
        }
        auth->GetNewAccessToken();
        QVERIFY(answered(3));
        QCOMPARE(signOut.size(), 1);
        QVERIFY(!auth->tokenTimer.isActive());
        QVERIFY(auth->Settings().allKeys().isEmpty());
        QCOMPARE(responses.size(), reported ? 3 : 0);
    }
    void badRefreshRepliesKeepSession_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("token of wrong type")
            << QByteArray(R"({"accessToken":42,"refreshToken":"r"})");
        QTest::newRow("null token") << QByteArray(R"({"accessToken":null})");
        QTest::newRow("empty token") << QByteArray(R"({"accessToken":"","refreshToken":"r"})");
        QTest::newRow("array") << QByteArray(R"([{"accessToken":"a"}])");
        QTest::newRow("empty body") << QByteArray();
        QTest::newRow("20 MB junk") << QByteArray(20 * 1024 * 1024, '{');
    }
    void badRefreshRepliesKeepSession()
    {
        QFETCH(QByteArray, reply);
        storeSession();
        script("/v1/token", Response::json(200, reply));
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        auth->GetNewAccessToken();
        QVERIFY(answered());

        QCOMPARE(refreshed.size(), 0);
        QCOMPARE(auth->refreshFailures, 1);
        QCOMPARE(auth->tokenTimer.interval(), 30000);
        QCOMPARE(auth->GetAccessToken(), QString("access-old"));
        QCOMPARE(DecodeStoredValue(auth->Settings().value("refreshToken").toString()),
                 QString("refresh-old"));
        QVERIFY(responses.size() <= 1); // a JSON object without a token is named invalid
    }
    void unrequestedRefreshReplies()
    {
        const QByteArray reply =
            R"({"accessToken":"a2","refreshToken":"r2","accessTokenExpiresIn":60})";
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);

        // Signed in: a refresh reply nobody waited for still renews the session.
        storeSession();
        auth->ParseResponse(reply);
        QCOMPARE(refreshed.size(), 1);
        QCOMPARE(auth->GetAccessToken(), QString("a2"));

        // A refresh outstanding at sign-out must not bring the tokens back.
        script("/v1/token", Response::json(200, reply));
        auth->GetNewAccessToken();
        auth->ClearSession();
        QVERIFY(answered());
        QCOMPARE(refreshed.size(), 1);
        QVERIFY(auth->Settings().allKeys().isEmpty());
        QVERIFY(!auth->tokenTimer.isActive());
    }
    void sessionSurvivesRestartOwnerOnly()
    {
#ifdef Q_OS_UNIX
        umask(022);
#endif
        script("/v1/signin/email-password", Response::json(200, sessionReply("access-new")));
        auth->SignIn("u@example.org", "secret");
        QVERIFY(answered());
        const QString file = auth->Settings().fileName();
        QVERIFY(file.startsWith(dir->path()));
        QVERIFY(file.endsWith("YourCompany/YourApp.ini"));
        const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        // Owner, group and others; Qt's extra "user" bits mirror the owner's here.
        const auto mode = [&] {
            return QFile::permissions(file) & QFileDevice::Permissions(0x7077);
        };
        QCOMPARE(mode(), ownerOnly);
        QFile ini(file);
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray onDisk = ini.readAll();
        QVERIFY(!onDisk.contains("access-new"));
        QVERIFY(onDisk.contains(EncodeStoredValue("refresh-new").toUtf8()));

        createHandler(server->baseUrl() + "/v1");
        QVERIFY(auth->HasStoredSession());
        QCOMPARE(auth->GetAccessToken(), QString("access-new"));
        QCOMPARE(auth->Settings().value("email").toString(), QString("u@example.org"));
        QVERIFY(!auth->rccCheckTimer.isActive());
        auth->StartTokenTimer();
        QCOMPARE(auth->tokenTimer.interval(), 840000);

        script("/v1/token", Response::json(200, R"({"accessToken":"a2","refreshToken":"r2"})"));
        auth->GetNewAccessToken();
        QVERIFY(answered());
        QCOMPARE(QJsonDocument::fromJson(server->lastRequest().body)["refreshToken"].toString(),
                 QString("refresh-new"));
        QCOMPARE(mode(), ownerOnly);

        auth->ClearSession();
        auth->ClearSession();
        QVERIFY(QSettings(file, QSettings::IniFormat).allKeys().isEmpty());
        QCOMPARE(mode(), ownerOnly);
    }
    void updateCheckReplies_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("pendingBefore");
        QTest::addColumn<bool>("announced");
        QTest::addColumn<bool>("pendingAfter");
        QTest::addColumn<QString>("warning");

        const QByteArray flagOff = R"({"metadata":{"rcc_update_available":false}})";
        QTest::newRow("flag set") << 200 << kFlagSet << false << true << false << QString();
        QTest::newRow("flag set, clear pending: clear again")
            << 200 << kFlagSet << true << false << false << QString();
        QTest::newRow("flag cleared") << 200 << flagOff << true << false << false << QString();
        QTest::newRow("flag missing")
            << 200 << QByteArray(R"({"metadata":{}})") << true << false << false << QString();
        QTest::newRow("flag as text")
            << 200 << QByteArray(R"({"metadata":{"rcc_update_available":"true"}})") << false
            << false << false << QString();
        QTest::newRow("not JSON") << 200 << QByteArray("<html>") << true << false << false
                                  << QString();
        QTest::newRow("204 is not accepted")
            << 204 << QByteArray() << true << false << true
            << R"(RCC update check failed: HTTP 204 "Unknown error")";
        QTest::newRow("server error") << 500 << kFlagSet << false << false << false
                                      << "RCC update check failed: HTTP 500 \"Error transferring";
    }
    void updateCheckReplies()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, pendingBefore);
        QFETCH(bool, announced);
        QFETCH(bool, pendingAfter);
        QFETCH(QString, warning);

        script("/v1/signin/email-password", Response::json(200, sessionReply("access-new")));
        auth->SignIn("u@example.org", "secret");
        QVERIFY(answered());
        auth->rccClearPending = pendingBefore;
        script("/v1/user", Response::json(status, body));
        script("/clear", Response::json(204, {}));
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^" + QRegularExpression::escape(warning)));
        QSignalSpy available(auth.get(), &AuthHandler::RccUpdateAvailable);
        auth->CheckRccUpdate();
        QVERIFY(networkIdle());

        const Request check = server->requests().value(1);
        QCOMPARE(check.method, QByteArray("GET"));
        QCOMPARE(check.path(), QString("/v1/user"));
        QCOMPARE(check.header("Authorization"), QByteArray("Bearer access-new"));
        QCOMPARE(check.header("Accept"), QByteArray("application/json"));
        QCOMPARE(available.size(), announced ? 1 : 0);
        QCOMPARE(count("/clear"), pendingBefore && body == kFlagSet && status == 200 ? 1 : 0);
        QCOMPARE(auth->rccClearPending, pendingAfter);
    }
    void updateCheck401RefreshesOncePerPeriod()
    {
        script("/v1/signin/email-password", Response::json(200, sessionReply("access-new")));
        auth->SignIn("u@example.org", "secret");
        QVERIFY(answered());
        for (int i = 0; i < 3; ++i)
            script("/v1/user", Response::json(401, R"({"error":"invalid-token"})"));
        script("/v1/token", Response::json(200, R"({"accessToken":"a2","refreshToken":"r2"})"));
        script("/v1/token", Response::json(200, R"({"accessToken":"a3","refreshToken":"r3"})"));

        // 401, one refresh, the check again at once, 401 again: nothing more this period.
        auth->CheckRccUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(count("/v1/user"), 2, 10000);
        QVERIFY(networkIdle());
        QCOMPARE(count("/v1/token"), 1);
        QCOMPARE(server->lastRequest().header("Authorization"), QByteArray("Bearer a2"));

        // The next period may refresh again.
        auth->rccCheckTimer.setInterval(1);
        QTRY_COMPARE_WITH_TIMEOUT(count("/v1/token"), 2, 10000);
        auth->rccCheckTimer.setInterval(300000);
        QVERIFY(answered(3));
        QVERIFY(networkIdle());
    }
    void updateCheckReplyAfterSignOutIsDropped()
    {
        script("/v1/signin/email-password", Response::json(200, sessionReply("access-new")));
        auth->SignIn("u@example.org", "secret");
        QVERIFY(answered());
        script("/v1/user", Response::json(200, kFlagSet));
        script("/v1/user", Response::json(500, {}));
        QSignalSpy available(auth.get(), &AuthHandler::RccUpdateAvailable);
        auth->CheckRccUpdate();
        auth->CheckRccUpdate();
        auth->ClearSession();
        QVERIFY(networkIdle()); // no announcement and, through failOnWarning, no log line
        QCOMPARE(count("/v1/user"), 2);
        QCOMPARE(available.size(), 0);
    }
    void clearReplies_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("pendingAfter");
        QTest::addColumn<int>("refreshes");
        QTest::newRow("200") << 200 << false << 0;
        QTest::newRow("204") << 204 << false << 0;
        QTest::newRow("500") << 500 << true << 0;
        QTest::newRow("401 asks for a refresh") << 401 << true << 1;
    }
    void clearReplies()
    {
        QFETCH(int, status);
        QFETCH(bool, pendingAfter);
        QFETCH(int, refreshes);

        storeSession();
        script("/clear", Response::json(status, {}));
        if (status >= 300) {
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QString("^clear_rcc_update failed: HTTP %1 \"").arg(status)));
        }
        auth->ClearRccUpdate();
        QVERIFY(auth->rccClearPending);
        QVERIFY(networkIdle());
        if (refreshes)
            QVERIFY(answered());

        const Request clear = server->requests().value(0);
        QCOMPARE(clear.method, QByteArray("POST"));
        QCOMPARE(clear.path(), QString("/clear"));
        QCOMPARE(clear.body, QByteArray("{}"));
        QCOMPARE(clear.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(clear.header("Authorization"), QByteArray("Bearer access-old"));
        QCOMPARE(auth->rccClearPending, pendingAfter);
        QCOMPARE(count("/v1/token"), refreshes);
    }
    void clearWithoutUsableUrlStaysPending_data()
    {
        QTest::addColumn<QByteArray>("url");
        QTest::addColumn<bool>("signedIn");
        QTest::newRow("missing") << QByteArray("  ") << true;
        QTest::newRow("invalid") << QByteArray("http://host:99999/clear") << true;
        QTest::newRow("no token") << QByteArray("http://127.0.0.1:9/clear") << false;
    }
    void clearWithoutUsableUrlStaysPending()
    {
        QFETCH(QByteArray, url);
        QFETCH(bool, signedIn);

        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL", url);
        const auto expectWarning = [&] {
            if (url.trimmed().isEmpty())
                QTest::ignoreMessage(
                    QtWarningMsg,
                    "Missing CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL in environment/.env");
        };
        if (signedIn) {
            script("/v1/signin/email-password", Response::json(200, sessionReply("access-new")));
            auth->SignIn("u@example.org", "secret");
            QVERIFY(answered());
        }
        expectWarning();
        auth->ClearRccUpdate();
        QVERIFY(auth->rccClearPending);
        QVERIFY(auth->network.findChildren<QNetworkReply *>().isEmpty());
        if (!signedIn)
            return;

        // The flag is still set on the server: acknowledge again rather than announce again.
        script("/v1/user", Response::json(200, kFlagSet));
        QSignalSpy available(auth.get(), &AuthHandler::RccUpdateAvailable);
        expectWarning();
        auth->CheckRccUpdate();
        QVERIFY(networkIdle());
        QCOMPARE(available.size(), 0);
        QVERIFY(auth->rccClearPending);
        QCOMPARE(server->requestCount(), 2);
    }

private:
    void createHandler(const QString &baseUrl)
    {
        answers.reset();
        auth.reset();
        qputenv("CORVALEN_AUTH_BASE_URL", baseUrl.toUtf8());
        auth = std::make_unique<AuthHandler>();
        answers = std::make_unique<QSignalSpy>(&auth->restApi, &RestApi::ResponseToRequest);
    }
    void storeSession()
    {
        QSettings &s = auth->Settings();
        s.setValue("token", EncodeStoredValue("access-old"));
        s.setValue("refreshToken", EncodeStoredValue("refresh-old"));
        s.setValue("tokenLifeTime", 900);
        s.setValue("id", "user-1");
        s.setValue("email", "u@example.org");
        s.sync();
    }
    // waits for that many RestApi replies, all parsed
    bool answered(int n = 1)
    {
        (void)QTest::qWaitFor([&] { return answers->size() >= n; }, 15000);
        return answers->size() == n;
    }
    // every check/clear reply handled and released
    bool networkIdle()
    {
        return QTest::qWaitFor(
            [&] { return auth->network.findChildren<QNetworkReply *>().isEmpty(); }, 10000);
    }
    int count(const QString &path) const
    {
        const auto requests = server->requests();
        return std::count_if(requests.begin(), requests.end(),
                             [&](const Request &r) { return r.path() == path; });
    }
    void script(const QString &path, const Response &response)
    {
        scripted[path].append(response);
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ScriptedHttpServer> server;
    std::unique_ptr<AuthHandler> auth;
    std::unique_ptr<QSignalSpy> answers;
    QHash<QString, QList<Response>> scripted;
};

QTEST_GUILESS_MAIN(AuthHandlerTest)
#include "tst_authhandler.moc"
