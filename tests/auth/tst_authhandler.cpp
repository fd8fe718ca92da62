#include "auth/authhandler.h"
#include "support/sandbox.h"
#include "support/scripted_http_server.h"

#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include <optional>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using Response = ScriptedHttpServer::Response;

enum class Ask
{
    SignIn,
    Refresh,
    UpdateCheck,
};
Q_DECLARE_METATYPE(Ask)

namespace {

const QByteArray kSession =
    R"({"session":{"accessToken":"a1","refreshToken":"r1","accessTokenExpiresIn":900,)"
    R"("user":{"id":"user-1","email":"u@example.org"}}})";
const QByteArray kFlagSet = R"({"metadata":{"rcc_update_available":true}})";

QJsonObject sentJson(const ScriptedHttpServer::Request &request)
{
    return QJsonDocument::fromJson(request.body).object();
}

} // namespace

class AuthHandlerTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        auth.reset(); // before its store's directory goes
        QTest::failOnWarning(QRegularExpression(".*"));
        sandbox.reset();
        sandbox.emplace();
        scripted.clear();
        server = std::make_unique<ScriptedHttpServer>();
        QVERIFY(server->start());
        // Per path, so that overlapping requests cannot take each other's answers.
        server->setHandler([this](const auto &request) {
            QList<Response> &queue = scripted[request.path()];
            return queue.isEmpty() ? Response::json(200, "{}") : queue.takeFirst();
        });
        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL", (server->baseUrl() + "/clear").toUtf8());
        qputenv("CORVALEN_AUTH_BASE_URL", (server->baseUrl() + "/v1").toUtf8());
        auth = std::make_unique<AuthHandler>();
        answers = std::make_unique<QSignalSpy>(&auth->restApi, &RestApi::ResponseToRequest);
    }

    void replies_data()
    {
        QTest::addColumn<bool>("refresh"); // the reply answers a refresh, else a sign-in
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("emitted"); // text of SignInResponse; null: none
        QTest::addColumn<QString>("tokens");  // access and refresh token in the store afterwards
        QTest::addColumn<int>("interval");    // of the token timer; -1: not armed
        const auto add = [](bool refresh) {
            return [refresh](const char *name, int status, const QByteArray &body,
                             const QString &emitted, const char *tokens, int interval) {
                QTest::newRow(name)
                    << refresh << status << body << emitted << QString(tokens) << interval;
            };
        };
        const auto signIn = add(false);
        const auto refresh = add(true);
        const QString invalid = "Invalid response from server";
        const char *kept = "a0 r0";
        const int stored = 3540000; // renewal a minute before the stored hour runs out
        signIn("session", 200, kSession, "USER_AUTENTICATED", "a1 r1", 840000);
        signIn("session of the largest size taken", 200, kSession.leftJustified(1 << 20, ' '),
               "USER_AUTENTICATED", "a1 r1", 840000);
        signIn("null session", 200, R"({"session":null})", "USER_ALREADY_LOGGED_IN", kept, stored);
        signIn("service error", 401, R"({"error":"bad-password"})", "bad-password", kept, stored);
        signIn("message", 400, R"({"message":" NOT_FOUND \n"})", "NOT_FOUND", kept, stored);
        signIn("error empty", 400, R"({"error":"","error_description":" L "})", "L", kept, stored);
        signIn("error not text", 400, R"({"error":5})", invalid, kept, stored);
        signIn("500 blank body", 500, " \r\n\t ", "HTTP 500: *", kept, stored);
        signIn("unrelated member", 200, R"({"ok":true})", invalid, kept, stored);
        signIn("empty object", 200, "{}", QString(), kept, -1);
        signIn("array", 200, R"([{"error":"x"}])", QString(), kept, -1);
        signIn("plain text", 200, "Service ready", invalid, kept, -1);
        signIn("204 no content", 204, "", invalid, kept, -1);
        // Renewed a fifth of a short lifetime early; with no numeric lifetime, after an hour.
        refresh("rotated", 200,
                R"({"accessToken":"a2","refreshToken":"r2","accessTokenExpiresIn":30})", QString(),
                "a2 r2", 24000);
        refresh("not rotated", 200, R"({"accessToken":"a2","accessTokenExpiresIn":"soon"})",
                QString(), "a2 r0", 3600000);
        // Failures: the session stays, a retry follows in 30 s.
        refresh("empty access token", 200, R"({"accessToken":"","refreshToken":"r"})", invalid,
                kept, 30000);
        refresh("refresh, junk", 200, "{{{", QString(), kept, 30000);
        refresh("refresh, service error", 401, R"({"error":"expired"})", "expired", kept, 30000);
    }
    void replies()
    {
        QFETCH(bool, refresh);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, emitted);
        QFETCH(QString, tokens);
        QFETCH(int, interval);
        QSettings &store = auth->Settings(); // a session from an earlier run, for an hour
        store.setValue("token", EncodeStoredValue("a0"));
        store.setValue("refreshToken", EncodeStoredValue("r0"));
        store.setValue("tokenLifeTime", 3600);
        store.setValue("id", "user-1");
        store.setValue("email", "u@example.org");
        const Response reply = Response::json(status, body);
        scripted[refresh ? "/v1/token" : "/v1/signin/email-password"] << reply << reply << reply;
        for (int i = 0; status >= 400 && i < (refresh ? 3 : 1); ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^REST request failed: "));
        // As the application does: the sign-out clears the session inside the emitting step.
        connect(auth.get(), &AuthHandler::SignOutUser, auth.get(), &AuthHandler::ClearSession);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        QSignalSpy signOut(auth.get(), &AuthHandler::SignOutUser);
        if (refresh) {
            auth->GetNewAccessToken();
            auth->GetNewAccessToken(); // joins the refresh in flight
        } else {
            auth->SignIn(" u@example.org", " p w "); // sent as given, not trimmed
        }
        QVERIFY(answered());
        QCOMPARE(server->requestCount(), 1);
        QCOMPARE(sentJson(server->lastRequest()),
                 refresh ? QJsonObject({{"refreshToken", "r0"}})
                         : QJsonObject({{"email", " u@example.org"}, {"password", " p w "}}));
        QCOMPARE(responses.size(), emitted.isNull() ? 0 : 1);
        // Past "HTTP 500: ", the wording is the network layer's.
        QString text = responses.value(0).value(0).toString();
        QCOMPARE(text.replace(QRegularExpression("^(HTTP \\d+: ).+"), "\\1*"), emitted);
        QCOMPARE(auth->GetAccessToken() + ' ' +
                     DecodeStoredValue(auth->Settings().value("refreshToken").toString()),
                 tokens);
        QCOMPARE(auth->tokenTimer.isActive() ? auth->tokenTimer.interval() : -1, interval);
        QCOMPARE(refreshed.size(), tokens.startsWith("a2") ? 1 : 0);
        if (!refresh)
            return;

        // What the timer calls next: the third failure in a row ends the session, not the second.
        for (int n = 2; n <= 3; ++n) {
            auth->GetNewAccessToken();
            QVERIFY(answered(n));
        }
        QCOMPARE(sentJson(server->lastRequest())["refreshToken"].toString(),
                 tokens.section(' ', 1));
        const bool failed = interval == 30000;
        QCOMPARE(signOut.size(), failed ? 1 : 0);
        QCOMPARE(auth->Settings().allKeys().isEmpty(), failed);
        QCOMPARE(responses.size(), emitted.isNull() ? 0 : 3);
    }
    void storedSession_data()
    {
        QTest::addColumn<QVariantMap>("store");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<QString>("token"); // null: none
        QTest::addColumn<int>("interval");  // of the token timer; -1: not armed

        const QVariantMap full{{"token", EncodeStoredValue("a0")},
                               {"refreshToken", EncodeStoredValue("r0")},
                               {"tokenLifeTime", 3600},
                               {"id", "user-1"},
                               {"email", "u@example.org"}};
        QVariantMap noRefresh = full;
        noRefresh["refreshToken"] = "";
        QVariantMap blanks = full;
        blanks["token"] = " \t" + EncodeStoredValue(" a0\n") + "\n";
        QVariantMap noLifetime = full;
        noLifetime.remove("tokenLifeTime");
        QTest::newRow("empty store") << QVariantMap() << false << QString() << -1;
        QTest::newRow("empty refresh token") << noRefresh << false << "a0" << 3540000;
        QTest::newRow("blanks around and inside") << blanks << true << "a0" << 3540000;
        QTest::newRow("no lifetime") << noLifetime << true << "a0" << -1;
    }
    void storedSession()
    {
        QFETCH(QVariantMap, store);
        QFETCH(bool, usable);
        QFETCH(QString, token);
        QFETCH(int, interval);
        for (auto it = store.cbegin(); it != store.cend(); ++it)
            auth->Settings().setValue(it.key(), it.value());
        QCOMPARE(auth->HasStoredSession(), usable);
        QCOMPARE(auth->GetAccessToken(), token);
        QCOMPARE(auth->GetAccessToken().isNull(), token.isNull());
        auth->StartTokenTimer();
        QCOMPARE(auth->tokenTimer.isActive() ? auth->tokenTimer.interval() : -1, interval);
        QCOMPARE(server->requestCount(), 0);
    }
    void resetPassword_data()
    {
        QTest::addColumn<QString>("redirect"); // null: unset
        QTest::addColumn<QJsonObject>("body");
        const QJsonObject plain{{"email", " u@example.org"}};
        QJsonObject redirected = plain;
        redirected["options"] = QJsonObject{{"redirectTo", "https://app.example/reset?a=1"}};
        QTest::newRow("no redirect") << QString() << plain;
        QTest::newRow("blank redirect") << " \t" << plain;
        QTest::newRow("redirect trimmed") << " https://app.example/reset?a=1\n" << redirected;
    }
    void resetPassword()
    {
        QFETCH(QString, redirect);
        QFETCH(QJsonObject, body);
        if (redirect.isNull())
            qunsetenv("CORVALEN_RESET_PASSWORD_REDIRECT_URL");
        else
            qputenv("CORVALEN_RESET_PASSWORD_REDIRECT_URL", redirect.toUtf8());
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        auth->ResetPassword(" u@example.org");
        QVERIFY(answered());
        const auto request = server->lastRequest();
        QCOMPARE(request.method + ' ' + request.target, "POST /v1/user/password/reset");
        QCOMPARE(request.header("Authorization"), QByteArray());
        QCOMPARE(sentJson(request), body);
        QCOMPARE(responses.size(), 0); // the service's "{}" says nothing
    }
    void sessionSurvivesRestartOwnerOnly()
    {
#ifdef Q_OS_UNIX
        umask(022);
#endif
        QVERIFY(signIn());
        const QString file = auth->Settings().fileName();
        QCOMPARE(file, sandbox->filePath(".config/YourCompany/YourApp.ini"));
        // Nothing for group and others; the "user" bits are the owner's, as we created the file.
        const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                               QFileDevice::ReadUser | QFileDevice::WriteUser;
        QCOMPARE(QFile::permissions(file), ownerOnly);

        auth = std::make_unique<AuthHandler>(); // the next run of the program
        answers = std::make_unique<QSignalSpy>(&auth->restApi, &RestApi::ResponseToRequest);
        QVERIFY(auth->HasStoredSession());
        QCOMPARE(auth->GetAccessToken(), QString("a1"));
        auth->GetNewAccessToken();
        QVERIFY(answered());
        QCOMPARE(sentJson(server->lastRequest())["refreshToken"].toString(), "r1");

        auth->ClearSession();
        QVERIFY(QSettings(file, QSettings::IniFormat).allKeys().isEmpty());
        QCOMPARE(QFile::permissions(file), ownerOnly);
    }
    void repliesAfterSignOutAreDropped()
    {
        QVERIFY(signIn());
        scripted["/v1/token"] << Response::json(200, R"({"accessToken":"a2","refreshToken":"r2"})");
        scripted["/v1/user"] << Response::json(200, kFlagSet) << Response::json(500, {});
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        QSignalSpy available(auth.get(), &AuthHandler::RccUpdateAvailable);
        auth->GetNewAccessToken();
        auth->CheckRccUpdate();
        auth->CheckRccUpdate();
        auth->ClearSession();
        QVERIFY(answered(2));
        // Through failOnWarning, also: no log line.
        QTRY_VERIFY_WITH_TIMEOUT(auth->network.findChildren<QNetworkReply *>().isEmpty(), 10000);
        QCOMPARE(server->requestCount(), 4);
        QCOMPARE(refreshed.size() + available.size(), 0);
        QVERIFY(auth->Settings().allKeys().isEmpty());
        QVERIFY(!auth->tokenTimer.isActive());
    }
    void lateRefreshLeavesTheNextSessionAlone_data()
    {
        QTest::addColumn<bool>("signOut"); // else the next sign-in replaces the session at once
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        const QByteArray renewed = R"({"accessToken":"a2","refreshToken":"r2"})";
        QTest::newRow("renewed, after sign-out") << true << 200 << renewed;
        QTest::newRow("failed, after sign-out") << true << 401 << QByteArray(R"({"error":"x"})");
        QTest::newRow("renewed, after another sign-in") << false << 200 << renewed;
    }
    void lateRefreshLeavesTheNextSessionAlone()
    {
        QFETCH(bool, signOut);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QVERIFY(signIn());
        // The refresh is answered only once the next user's session is stored.
        bool nextUserIn = false;
        connect(auth.get(), &AuthHandler::SignInResponse, this, [&] { nextUserIn = true; });
        server->setHandler([&](const ScriptedHttpServer::Request &request) {
            if (request.path() != "/v1/token")
                return Response::json(200, R"({"session":{"accessToken":"b1","refreshToken":"rb1",)"
                                           R"("user":{"id":"user-2","email":"v@example.org"}}})");
            (void)QTest::qWaitFor([&] { return nextUserIn; }, 15000);
            return Response::json(status, body);
        });
        if (status >= 400)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^REST request failed: "));
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);

        auth->GetNewAccessToken();
        if (signOut)
            auth->ClearSession();
        auth->SignIn("v@example.org", "secret");
        QVERIFY(answered(3));
        QCOMPARE(responses.size(), 1); // "USER_AUTENTICATED", nothing from the late answer
        QCOMPARE(refreshed.size(), 0);
        QCOMPARE(auth->GetAccessToken(), "b1");
        QCOMPARE(DecodeStoredValue(auth->Settings().value("refreshToken").toString()), "rb1");
        QCOMPARE(auth->Settings().value("id").toString(), "user-2");
        QCOMPARE(auth->refreshFailures, 0);
    }
    void oversizedRepliesAreRefused_data()
    {
        QTest::addColumn<Ask>("ask");
        QTest::addColumn<bool>("inflates"); // else the declared length gives it away
        for (const auto &[ask, name] :
             {std::pair(Ask::SignIn, "sign-in"), std::pair(Ask::Refresh, "refresh"),
              std::pair(Ask::UpdateCheck, "update check")}) {
            QTest::addRow("%s, declared", name) << ask << false;
            QTest::addRow("%s, inflated", name) << ask << true;
        }
    }
    void oversizedRepliesAreRefused()
    {
        QFETCH(Ask, ask);
        QFETCH(bool, inflates);
        QVERIFY(signIn());
        // Answers that would succeed, were it not for their size.
        const QByteArray path = ask == Ask::SignIn    ? "/v1/signin/email-password"
                                : ask == Ask::Refresh ? "/v1/token"
                                                      : "/v1/user";
        const QByteArray success = ask == Ask::SignIn    ? kSession
                                   : ask == Ask::Refresh ? R"({"accessToken":"a2"})"
                                                         : kFlagSet;
        const QByteArray body = success.leftJustified((1 << 20) + 1, ' ');
        Response reply = Response::json(200, inflates ? qCompress(body).mid(4) : body);
        if (inflates)
            reply.withHeader("Content-Encoding", "deflate"); // small on the wire
        else
            reply.dropAfterBodyBytes = 16; // refused on the header, or this would show
        scripted[path] << reply;
        const QString refused = "Reply body larger than 1048576 bytes";
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QString("^(REST request failed:|RCC update check "
                                                        "failed: HTTP 200) \"%1\"")
                                                    .arg(refused)));
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        QSignalSpy available(auth.get(), &AuthHandler::RccUpdateAvailable);
        if (ask == Ask::SignIn)
            auth->SignIn("u@example.org", "secret");
        else if (ask == Ask::Refresh)
            auth->GetNewAccessToken();
        else
            auth->CheckRccUpdate();

        if (ask == Ask::UpdateCheck)
            QTRY_VERIFY_WITH_TIMEOUT(auth->network.findChildren<QNetworkReply *>().isEmpty(),
                                     10000);
        else
            QVERIFY(answered(2));
        // Through the usual failure paths: the text for the user, a retry for the refresh.
        QCOMPARE(responses.size(), ask == Ask::UpdateCheck ? 0 : 1);
        QCOMPARE(responses.value(0).value(0).toString(), ask == Ask::UpdateCheck ? "" : refused);
        QCOMPARE(auth->tokenTimer.interval(), ask == Ask::Refresh ? 30000 : 840000);
        QCOMPARE(refreshed.size() + available.size(), 0);
        QCOMPARE(auth->GetAccessToken(), "a1");
    }
    void updateCheckReplies_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome"); // all rows but "announced" start with one pending

        const QByteArray flagOff = R"({"metadata":{"rcc_update_available":false}})";
        QTest::newRow("flag set") << 200 << kFlagSet << "announced";
        QTest::newRow("flag set, pending") << 200 << kFlagSet << "acknowledged";
        QTest::newRow("flag set, no acknowledgement URL") << 200 << kFlagSet << "kept, no URL";
        QTest::newRow("flag cleared") << 200 << flagOff << "cleared";
        QTest::newRow("flag missing") << 200 << QByteArray(R"({"metadata":{}})") << "cleared";
        QTest::newRow("not JSON") << 200 << QByteArray("<html>") << "cleared";
        QTest::newRow("204 is not accepted") << 204 << QByteArray() << "kept";
        QTest::newRow("server error") << 500 << kFlagSet << "kept";
        // One refresh, the check again at once with the new token, 401 again: nothing more.
        QTest::newRow("two 401s") << 401 << QByteArray() << "kept";
    }
    void updateCheckReplies()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);
        QVERIFY(signIn());
        auth->rccClearPending = outcome != "announced";
        scripted["/v1/user"] << Response::json(status, body) << Response::json(status, body);
        scripted["/v1/token"] << Response::json(200, R"({"accessToken":"a2"})");
        scripted["/clear"] << Response::json(204, {}); // success, though not 200
        const QString failure = QString("^RCC update check failed: HTTP %1 \"").arg(status);
        if (status == 204 || status == 500)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(failure));
        if (outcome.endsWith("no URL")) {
            qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL", " ");
            QTest::ignoreMessage(
                QtWarningMsg, "Missing CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL in environment/.env");
        }
        QSignalSpy available(auth.get(), &AuthHandler::RccUpdateAvailable);
        auth->CheckRccUpdate();
        QVERIFY(answered(status == 401 ? 2 : 1));
        QTRY_VERIFY_WITH_TIMEOUT(auth->network.findChildren<QNetworkReply *>().isEmpty(), 10000);
        QVERIFY(!auth->refreshInFlight); // the second 401 asks for no second refresh
        const auto check = server->requests().value(status == 401 ? 3 : 1);
        QCOMPARE(check.method + ' ' + check.target, QByteArray("GET /v1/user"));
        QCOMPARE(check.header("Authorization"), status == 401 ? "Bearer a2" : "Bearer a1");
        const bool acknowledged = outcome == "acknowledged";
        QCOMPARE(server->requestCount(), status == 401 ? 4 : 2 + acknowledged);
        QCOMPARE(server->lastRequest().path() == "/clear", acknowledged);
        QCOMPARE(available.size(), outcome == "announced" ? 1 : 0);
        QCOMPARE(auth->rccClearPending, outcome.startsWith("kept"));
    }

    void acknowledgement_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<int>("status"); // of the answer
        QTest::addColumn<bool>("pending");
        QTest::addColumn<int>("refreshes");
        QTest::newRow("204 confirms") << true << 204 << false << 0;
        QTest::newRow("500 keeps it pending") << true << 500 << true << 0;
        QTest::newRow("401 asks for one refresh") << true << 401 << true << 1;
        QTest::newRow("no token, nothing sent") << false << 0 << true << 0;
    }
    void acknowledgement()
    {
        QFETCH(bool, signedIn);
        QFETCH(int, status);
        QFETCH(bool, pending);
        QFETCH(int, refreshes);
        QVERIFY(!signedIn || signIn());
        scripted["/clear"] << Response::json(status, "{}");
        if (status >= 400)
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QString("^clear_rcc_update failed: HTTP %1 \"").arg(status)));
        auth->ClearRccUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(auth->network.findChildren<QNetworkReply *>().isEmpty(), 10000);
        QVERIFY(answered(signedIn + refreshes));
        QCOMPARE(auth->rccClearPending, pending);
        QCOMPARE(server->requestCount(), signedIn ? 2 + refreshes : 0);
        if (!signedIn)
            return;
        const auto request = server->requests().at(1);
        QCOMPARE(request.method + ' ' + request.target, "POST /clear");
        QCOMPARE(request.header("Content-Type"), "application/json");
        QCOMPARE(request.header("Authorization"), "Bearer a1");
        QCOMPARE(request.body, "{}");
        QCOMPARE(server->lastRequest().path(), refreshes ? "/v1/token" : "/clear");
    }
    void updateCheckTimerRepeatsAndEachTickAllowsARefresh()
    {
        QVERIFY(signIn());
        QVERIFY(auth->rccCheckTimer.isActive());
        QCOMPARE(auth->rccCheckTimer.interval(), 300000);
        QVERIFY(!auth->rccCheckTimer.isSingleShot());
        auth->rccCheckRetried = true;        // a 401 used this period's refresh
        auth->rccCheckTimer.setInterval(20); // the next periods, without waiting minutes
        QTRY_VERIFY_WITH_TIMEOUT(server->requestCount() >= 3, 10000); // two checks at least
        auth->rccCheckTimer.stop();
        QCOMPARE(server->lastRequest().target, "/v1/user");
        QVERIFY(!auth->rccCheckRetried);
    }

private:
    bool signIn()
    {
        scripted["/v1/signin/email-password"] << Response::json(200, kSession);
        auth->SignIn("u@example.org", "secret");
        return answered();
    }
    // Waits for that many RestApi replies, all parsed.
    bool answered(int n = 1)
    {
        (void)QTest::qWaitFor([&] { return answers->size() >= n; }, 15000);
        return answers->size() == n;
    }

    std::optional<Sandbox> sandbox;
    std::unique_ptr<ScriptedHttpServer> server;
    std::unique_ptr<AuthHandler> auth;
    std::unique_ptr<QSignalSpy> answers;
    QHash<QString, QList<Response>> scripted;
};

QTEST_GUILESS_MAIN(AuthHandlerTest)
#include "tst_authhandler.moc"
