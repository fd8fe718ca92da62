#include "auth/authhandler.h"
#include "support/sandbox.h"
#include "support/scripted_http_server.h"

#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <optional>
#include <thread>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

using Response = ScriptedHttpServer::Response;

// What an update check comes to.
enum class Flag
{
    Announced,
    AcknowledgedAgain, // an earlier acknowledgement had not reached the server: sent again
    NoLongerPending,
    StillPending,
};
// The requests to the authentication service that carry a secret.
enum class AuthRequest
{
    Password,     // sign-in, in the body
    RefreshToken, // refresh, in the body
    UpdateCheck,  // bearer token
    Acknowledgement,
};

// Every request that carries a secret: the password, the refresh token or the bearer.
static QList<QPair<const char *, AuthRequest>> secretRequests()
{
    return {{"sign-in", AuthRequest::Password},
            {"refresh", AuthRequest::RefreshToken},
            {"update check", AuthRequest::UpdateCheck},
            {"acknowledgement", AuthRequest::Acknowledgement}};
}
Q_DECLARE_METATYPE(Flag)
Q_DECLARE_METATYPE(AuthRequest)
Q_DECLARE_METATYPE(Response)

namespace {

const QByteArray kSession =
    R"({"session":{"accessToken":"a1","refreshToken":"r1","accessTokenExpiresIn":900,)"
    R"("user":{"id":"user-1","email":"u@example.org"}}})";
const QByteArray kFlagSet = R"({"metadata":{"rcc_update_available":true}})";

const QString kInvalid = QStringLiteral("Invalid response from server");
const QString kRefused = QStringLiteral("Reply body larger than 1048576 bytes");
constexpr int kStoredInterval = 3540000; // renewal a minute before the stored hour runs out
constexpr int kRetryInterval = 30000;

QJsonObject sentJson(const ScriptedHttpServer::Request &request)
{
    return QJsonDocument::fromJson(request.body).object();
}

// A successful answer over the size limit: small on the wire when it inflates, else its
// declared length gives it away (or the cut-off body would show).
Response oversized(const QByteArray &success, bool inflates)
{
    const QByteArray body = success.leftJustified((1 << 20) + 1, ' ');
    Response reply = Response::json(200, inflates ? qCompress(body).mid(4) : body);
    if (inflates)
        reply.withHeader("Content-Encoding", "deflate");
    else
        reply.dropAfterBodyBytes = 16;
    return reply;
}

// The warning of a failed sign-in or refresh, with its reason matching `reason` (a pattern; the
// network layer words its own reasons); the line as a whole is RestApi's test's to pin.
void expectRestFailure(const QString &reason)
{
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^REST request failed: \"" + reason + "\" URL: "));
}
const QString kAnyReason = QStringLiteral(".+");
const QString kRefusedReason = QRegularExpression::escape(kRefused);

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

    void signInReplies_data()
    {
        QTest::addColumn<Response>("reply");
        QTest::addColumn<QString>("failure"); // the reason of the one warning; null: none
        // The whole text of SignInResponse; an empty pattern: none.
        QTest::addColumn<QRegularExpression>("emitted");
        QTest::addColumn<bool>("replaced"); // the new session's tokens stored, else a0 r0 kept
        QTest::addColumn<int>("interval");  // of the token timer; -1: not armed
        const auto row = [](const char *name, const Response &reply, const QString &failure,
                            const QString &emitted, bool replaced, int interval) {
            QTest::newRow(name) << reply << failure
                                << (emitted.isNull()
                                        ? QRegularExpression()
                                        : QRegularExpression(QRegularExpression::anchoredPattern(
                                              QRegularExpression::escape(emitted))))
                                << replaced << interval;
        };
        const auto json = Response::json;
        // Only a new session (900 s, renewed after 840 s) replaces the stored tokens.
        row("session", json(200, kSession), {}, "USER_AUTENTICATED", true, 840000);
        row("session of the largest size taken", json(200, kSession.leftJustified(1 << 20, ' ')),
            {}, "USER_AUTENTICATED", true, 840000);
        row("null session", json(200, R"({"session":null})"), {}, "USER_ALREADY_LOGGED_IN", false,
            kStoredInterval);
        // One answer per reply: the session, not also the error beside it.
        row("session beside an error", json(200, "{\"error\":\"x\"," + kSession.mid(1)), {},
            "USER_AUTENTICATED", true, 840000);
        row("service error", json(401, R"({"error":"bad-password"})"), kAnyReason, "bad-password",
            false, kStoredInterval);
        row("message", json(400, R"({"message":" NOT_FOUND \n"})"), kAnyReason, "NOT_FOUND", false,
            kStoredInterval);
        row("error empty", json(400, R"({"error":"","error_description":" L "})"), kAnyReason, "L",
            false, kStoredInterval);
        row("error not text", json(400, R"({"error":5})"), kAnyReason, kInvalid, false,
            kStoredInterval);
        row("unrelated member", json(200, R"({"ok":true})"), {}, kInvalid, false, kStoredInterval);
        row("empty object", json(200, "{}"), {}, QString(), false, -1);
        row("array", json(200, R"([{"error":"x"}])"), {}, QString(), false, -1);
        row("plain text", json(200, "Service ready"), {}, kInvalid, false, -1);
        row("204 no content", json(204, ""), {}, kInvalid, false, -1);
        // Past "HTTP 500: ", the wording is the network layer's.
        QTest::newRow("server error without body")
            << json(500, " \r\n\t ") << kAnyReason << QRegularExpression("\\AHTTP 500: .+\\z")
            << false << kStoredInterval;
        // Answers that would succeed, were it not for their size, fail as usual.
        row("session over the size limit, declared", oversized(kSession, false), kRefusedReason,
            kRefused, false, kStoredInterval);
        row("session over the size limit, inflated", oversized(kSession, true), kRefusedReason,
            kRefused, false, kStoredInterval);
    }
    void signInReplies()
    {
        QFETCH(Response, reply);
        QFETCH(QString, failure);
        QFETCH(QRegularExpression, emitted);
        QFETCH(bool, replaced);
        QFETCH(int, interval);
        storeEarlierSession();
        scripted["/v1/signin/email-password"] << reply;
        if (!failure.isNull())
            expectRestFailure(failure);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        auth->SignIn(" u@example.org", " p w "); // sent as given, not trimmed
        QVERIFY(answered());
        QCOMPARE(server->requestCount(), 1);
        QCOMPARE(sentJson(server->lastRequest()),
                 QJsonObject({{"email", " u@example.org"}, {"password", " p w "}}));
        QCOMPARE(responses.size(), emitted.pattern().isEmpty() ? 0 : 1);
        QVERIFY2(responses.isEmpty() || emitted.match(responses.at(0).at(0).toString()).hasMatch(),
                 qPrintable(responses.value(0).value(0).toString()));
        QCOMPARE(storedTokens(), replaced ? QStringList({"a1", "r1"}) : QStringList({"a0", "r0"}));
        QCOMPARE(tokenTimerInterval(), interval);
        QCOMPARE(refreshed.size(), 0);
    }

    void renewals_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("tokens"); // access and refresh token stored afterwards
        QTest::addColumn<int>("interval");       // of the token timer
        // Renewed a fifth of a short lifetime early; with no numeric lifetime, after an hour.
        QTest::newRow("rotated")
            << QByteArray(R"({"accessToken":"a2","refreshToken":"r2","accessTokenExpiresIn":30})")
            << QStringList{"a2", "r2"} << 24000;
        QTest::newRow("not rotated")
            << QByteArray(R"({"accessToken":"a2","accessTokenExpiresIn":"soon"})")
            << QStringList{"a2", "r0"} << 3600000;
        QTest::newRow("renewed beside an error")
            << QByteArray(R"({"error":"x","accessToken":"a2","refreshToken":"r2",)"
                          R"("accessTokenExpiresIn":30})")
            << QStringList{"a2", "r2"} << 24000;
    }
    void renewals()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, tokens);
        QFETCH(int, interval);
        storeEarlierSession();
        scripted["/v1/token"] << Response::json(200, body);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        auth->GetNewAccessToken();
        QVERIFY(answered());
        QCOMPARE(sentJson(server->lastRequest()), QJsonObject({{"refreshToken", "r0"}}));
        QCOMPARE(responses.size(), 0);
        QCOMPARE(refreshed.size(), 1);
        QCOMPARE(storedTokens(), tokens);
        QCOMPARE(tokenTimerInterval(), interval);
        auth->GetNewAccessToken(); // the next one sends the refresh token now stored
        QVERIFY(answered(2));
        QCOMPARE(sentJson(server->lastRequest()), QJsonObject({{"refreshToken", tokens.at(1)}}));
    }

    void refreshJoinsTheOneInFlight()
    {
        storeEarlierSession();
        auth->GetNewAccessToken();
        auth->GetNewAccessToken();
        QVERIFY(answered());
        QCOMPARE(server->requestCount(), 1);
    }

    void failedRefreshes_data()
    {
        QTest::addColumn<Response>("reply");
        QTest::addColumn<QString>("failure"); // the reason of the one warning; null: none
        QTest::addColumn<QString>("emitted"); // text of SignInResponse; null: none
        const auto json = Response::json;
        QTest::newRow("empty access token")
            << json(200, R"({"accessToken":"","refreshToken":"r"})") << QString() << kInvalid;
        QTest::newRow("junk") << json(200, "{{{") << QString() << QString();
        QTest::newRow("service error")
            << json(401, R"({"error":"expired"})") << kAnyReason << "expired";
        QTest::newRow("over the size limit, declared")
            << oversized(R"({"accessToken":"a2"})", false) << kRefusedReason << kRefused;
        QTest::newRow("over the size limit, inflated")
            << oversized(R"({"accessToken":"a2"})", true) << kRefusedReason << kRefused;
    }
    // The session stays, and a retry follows in half a minute.
    void failedRefreshes()
    {
        QFETCH(Response, reply);
        QFETCH(QString, failure);
        QFETCH(QString, emitted);
        storeEarlierSession();
        scripted["/v1/token"] << reply;
        if (!failure.isNull())
            expectRestFailure(failure);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        auth->GetNewAccessToken();
        QVERIFY(answered());
        QCOMPARE(responses.size(), emitted.isNull() ? 0 : 1);
        QCOMPARE(responses.value(0).value(0).toString(), emitted);
        QCOMPARE(refreshed.size(), 0);
        QCOMPARE(storedTokens(), QStringList({"a0", "r0"}));
        QCOMPARE(tokenTimerInterval(), kRetryInterval);
    }

    // The third failure in a row ends the session, not the second.
    void thirdFailedRefreshSignsOut()
    {
        storeEarlierSession();
        scripted["/v1/token"] << Response::json(200, "{{{") << Response::json(200, "{{{")
                              << Response::json(200, "{{{");
        // As the application does: the sign-out clears the session inside the emitting step.
        connect(auth.get(), &AuthHandler::SignOutUser, auth.get(), &AuthHandler::ClearSession);
        QSignalSpy signOut(auth.get(), &AuthHandler::SignOutUser);
        for (int n = 1; n <= 3; ++n) {
            QCOMPARE(signOut.size(), 0);
            auth->GetNewAccessToken(); // what the timer calls next
            QVERIFY(answered(n));
        }
        QCOMPARE(signOut.size(), 1);
        QVERIFY(auth->Settings().allKeys().isEmpty());
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
        QTest::newRow("empty refresh token") << noRefresh << false << "a0" << kStoredInterval;
        QTest::newRow("blanks around and inside") << blanks << true << "a0" << kStoredInterval;
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
        QCOMPARE(tokenTimerInterval(), interval);
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
    // Another local user polling the folder never finds the tokens readable, neither in the
    // store nor in the file that replaces it, from the first write of a fresh profile on.
    void sessionStoreIsNeverReadableByOthers()
    {
#ifndef Q_OS_UNIX
        QSKIP("File modes are a POSIX matter");
#else
        umask(022);
        const QString file = auth->Settings().fileName();
        const QByteArray folder = QFile::encodeName(QFileInfo(file).absolutePath());
        const QByteArray stem = QFile::encodeName(QFileInfo(file).fileName());
        std::atomic<bool> stop{false};
        std::atomic<unsigned> widest{0};
        std::atomic<int> sightings{0};
        std::thread reader([&] {
            while (!stop) {
                DIR *dir = opendir(folder.constData());
                if (!dir)
                    continue;
                while (const dirent *entry = readdir(dir)) {
                    const QByteArray name(entry->d_name);
                    struct stat st;
                    // The lock file holds no secret.
                    if (!name.startsWith(stem) || name.endsWith(".lock") ||
                        fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                        continue;
                    ++sightings;
                    widest |= st.st_mode & 0777;
                }
                closedir(dir);
            }
        });
        for (int round = 0; round < 10; ++round) { // the first sign-in of a fresh profile
            auth.reset();
            QFile::remove(file);
            auth = std::make_unique<AuthHandler>();
            answers = std::make_unique<QSignalSpy>(&auth->restApi, &RestApi::ResponseToRequest);
            if (!signIn())
                break;
        }
        stop = true;
        reader.join();
        QCOMPARE(answers->size(), 1);
        QVERIFY(sightings > 0);
        QCOMPARE(QString::number(widest, 8), QString::number(0600, 8));
        QCOMPARE(QSettings(file, QSettings::IniFormat).value("id").toString(), "user-1");
#endif
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
        scripted["/v1/token"] << Response::held();
        scripted["/v1/signin/email-password"]
            << Response::json(200, R"({"session":{"accessToken":"b1","refreshToken":"rb1",)"
                                   R"("user":{"id":"user-2","email":"v@example.org"}}})");
        connect(auth.get(), &AuthHandler::SignInResponse, this,
                [&] { server->answerHeld(Response::json(status, body)); });
        if (status >= 400)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^REST request failed: "));
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);

        auth->GetNewAccessToken();
        if (signOut)
            auth->ClearSession();
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(), 2, 15000); // the refresh is held
        auth->SignIn("v@example.org", "secret");
        QVERIFY(answered(3));
        QCOMPARE(responses.size(), 1); // "USER_AUTENTICATED", nothing from the late answer
        QCOMPARE(refreshed.size(), 0);
        QCOMPARE(storedTokens(), QStringList({"b1", "rb1"}));
        QCOMPARE(auth->Settings().value("id").toString(), "user-2");
        QCOMPARE(auth->refreshFailures, 0);
    }
    void updateCheckReplies_data()
    {
        QTest::addColumn<Response>("reply");
        QTest::addColumn<bool>("clearUrl");   // CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL is set
        QTest::addColumn<QString>("warning"); // the start of the one warning; empty: none
        QTest::addColumn<Flag>("outcome");    // all rows but "announced" start with one pending
        const auto row = [](const char *name, const Response &reply, Flag outcome,
                            const QString &warning = {}, bool clearUrl = true) {
            QTest::newRow(name) << reply << clearUrl << warning << outcome;
        };
        const QString failed = "RCC update check failed: HTTP %1 \"";
        row("flag set", Response::json(200, kFlagSet), Flag::Announced);
        row("flag set, pending", Response::json(200, kFlagSet), Flag::AcknowledgedAgain);
        row("flag set, pending, no acknowledgement URL", Response::json(200, kFlagSet),
            Flag::StillPending,
            "Missing CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL in environment/.env", false);
        row("flag cleared", Response::json(200, R"({"metadata":{"rcc_update_available":false}})"),
            Flag::NoLongerPending);
        row("flag missing", Response::json(200, R"({"metadata":{}})"), Flag::NoLongerPending);
        row("not JSON", Response::json(200, "<html>"), Flag::NoLongerPending);
        row("204 is not accepted", Response::json(204, ""), Flag::StillPending, failed.arg(204));
        row("server error", Response::json(500, kFlagSet), Flag::StillPending, failed.arg(500));
        // Read whole, either would acknowledge again.
        row("flag set, oversized, declared", oversized(kFlagSet, false), Flag::StillPending,
            failed.arg(200) + kRefused + '"');
        row("flag set, oversized, inflated", oversized(kFlagSet, true), Flag::StillPending,
            failed.arg(200) + kRefused + '"');
    }
    void updateCheckReplies()
    {
        QFETCH(Response, reply);
        QFETCH(bool, clearUrl);
        QFETCH(QString, warning);
        QFETCH(Flag, outcome);
        QVERIFY(signIn());
        auth->rccClearPending = outcome != Flag::Announced;
        scripted["/v1/user"] << reply;
        scripted["/clear"] << Response::json(204, {}); // success, though not 200
        if (!clearUrl)
            qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL", " ");
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^" + QRegularExpression::escape(warning)));
        QSignalSpy available(auth.get(), &AuthHandler::RccUpdateAvailable);
        auth->CheckRccUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(auth->network.findChildren<QNetworkReply *>().isEmpty(), 10000);
        const auto check = server->requests().value(1);
        QCOMPARE(check.method + ' ' + check.target, QByteArray("GET /v1/user"));
        QCOMPARE(check.header("Authorization"), "Bearer a1");
        const bool acknowledged = outcome == Flag::AcknowledgedAgain;
        QCOMPARE(server->requestCount(), 2 + acknowledged);
        QCOMPARE(server->lastRequest().path() == "/clear", acknowledged);
        QCOMPARE(available.size(), outcome == Flag::Announced ? 1 : 0);
        QCOMPARE(auth->rccClearPending, outcome == Flag::StillPending);
    }
    // One refresh, the check again at once with the new token, 401 again: nothing more.
    void updateCheckRefreshesOnceOn401()
    {
        QVERIFY(signIn());
        auth->rccClearPending = true;
        scripted["/v1/user"] << Response::json(401, {}) << Response::json(401, {});
        scripted["/v1/token"] << Response::json(200, R"({"accessToken":"a2"})");
        auth->CheckRccUpdate();
        QVERIFY(answered(2));
        QTRY_VERIFY_WITH_TIMEOUT(auth->network.findChildren<QNetworkReply *>().isEmpty(), 10000);
        QVERIFY(!auth->refreshInFlight);
        QCOMPARE(server->requestCount(), 4);
        const auto check = server->requests().value(3);
        QCOMPARE(check.method + ' ' + check.target, QByteArray("GET /v1/user"));
        QCOMPARE(check.header("Authorization"), "Bearer a2");
        QVERIFY(auth->rccClearPending);
    }

    void acknowledgement_data()
    {
        QTest::addColumn<int>("status"); // of the answer; 0: no session, so none is asked for
        QTest::addColumn<bool>("pending");
        QTest::addColumn<int>("refreshes");
        QTest::newRow("204 confirms") << 204 << false << 0;
        QTest::newRow("500 keeps it pending") << 500 << true << 0;
        QTest::newRow("401 asks for one refresh") << 401 << true << 1;
        QTest::newRow("no token: waits") << 0 << true << 0;
    }
    void acknowledgement()
    {
        QFETCH(int, status);
        QFETCH(bool, pending);
        QFETCH(int, refreshes);
        if (status)
            QVERIFY(signIn());
        scripted["/clear"] << Response::json(status, "{}");
        if (status >= 400)
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QString("^clear_rcc_update failed: HTTP %1 \"").arg(status)));
        auth->ClearRccUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(auth->network.findChildren<QNetworkReply *>().isEmpty(), 10000);
        QVERIFY(answered(status ? 1 + refreshes : 0));
        QCOMPARE(auth->rccClearPending, pending);
        QCOMPARE(server->requestCount(), status ? 2 + refreshes : 0);
        if (!status)
            return;
        const auto request = server->requests().at(1);
        QCOMPARE(request.method + ' ' + request.target, "POST /clear");
        QCOMPARE(request.header("Content-Type"), "application/json");
        QCOMPARE(request.header("Authorization"), "Bearer a1");
        QCOMPARE(request.body, "{}");
        QCOMPARE(server->lastRequest().path(), refreshes ? "/v1/token" : "/clear");
    }
    void secretsStayOnTheirOrigin_data()
    {
        QTest::addColumn<AuthRequest>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("sameOrigin"); // else to 127.0.0.2
        for (const auto &[name, request] : secretRequests()) {
            for (int status : {302, 307, 308})
                QTest::addRow("%s, %d to another origin", name, status)
                    << request << status << false;
            QTest::addRow("%s, 307 within the origin", name) << request << 307 << true;
        }
    }
    // A redirect elsewhere fails before anything is sent there; within the origin the secret
    // goes along as before.
    void secretsStayOnTheirOrigin()
    {
        QFETCH(AuthRequest, request);
        QFETCH(int, status);
        QFETCH(bool, sameOrigin);
        ScriptedHttpServer other;
        QVERIFY(other.start(QHostAddress("127.0.0.2")));
        other.setHandler([](const auto &) { return Response::json(200, kSession); });
        const QString target = (sameOrigin ? server->baseUrl() : other.baseUrl()) + "/moved";

        Prepared sent;
        QVERIFY(prepare(request, sent));
        scripted[sent.path] << Response::redirect(status, target.toUtf8());
        const QString refusal = "Refused a redirect to another origin: " + target;
        if (!sameOrigin)
            expectFailureLine(request, refusal);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QVERIFY(sendAndWait(request, sent));

        QCOMPARE(other.requestCount(), 0);
        const auto moved = server->lastRequest();
        QCOMPARE(moved.path() == "/moved", sameOrigin);
        if (sameOrigin)
            QVERIFY(moved.header("Authorization") == sent.secret ||
                    moved.body.contains(sent.secret));
        if (request == AuthRequest::Password && !sameOrigin)
            QCOMPARE(responses.value(0).value(0).toString(), refusal);
    }
    void slowRepliesEnd_data()
    {
        QTest::addColumn<AuthRequest>("request");
        QTest::addColumn<Response>("reply");
        QTest::addColumn<QString>("reason");
        // A byte every 20 ms keeps the inactivity time-out from firing; 4 KiB take 80 s.
        Response trickled = Response::json(200, QByteArray(4096, ' '));
        trickled.dribbleChunk = 1;
        trickled.dribbleDelayMs = 20;
        for (const auto &[name, request] : secretRequests()) {
            QTest::addRow("%s, trickled", name)
                << request << trickled
                << "The server was too slow: no complete answer within 1500 ms.";
            QTest::addRow("%s, silent", name)
                << request << Response::held() << "The server did not answer in time.";
        }
    }
    // Ended by our own limits (short ones here; the real ones are 60 s for the whole exchange
    // and 30 s of silence), with our reason rather than "Operation canceled".
    void slowRepliesEnd()
    {
        QFETCH(AuthRequest, request);
        QFETCH(Response, reply);
        QFETCH(QString, reason);
        auth->setRequestDeadlines({300, 1500, 0, 0});
        Prepared sent;
        QVERIFY(prepare(request, sent));
        scripted[sent.path] << reply;
        // The acknowledgement reads its status alone: a 200 confirms, however slow its body.
        const bool confirmed = request == AuthRequest::Acknowledgement && !reply.hold;
        if (!confirmed)
            expectFailureLine(request, reason);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(sendAndWait(request, sent));
        QCOMPARE_GE(clock.elapsed(), reply.hold ? 300 : 1500);
        const bool viaRestApi =
            request == AuthRequest::Password || request == AuthRequest::RefreshToken;
        QCOMPARE(responses.value(0).value(0).toString(), viaRestApi ? reason : QString());
        QCOMPARE(auth->refreshFailures, request == AuthRequest::RefreshToken ? 1 : 0);
        QCOMPARE(auth->rccClearPending, request == AuthRequest::Acknowledgement && !confirmed);
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
    // One of the requests that carry a secret: what it carries, where it goes, how it is sent.
    struct Prepared
    {
        QByteArray secret;
        QString path;
        std::function<void()> send;
    };
    bool prepare(AuthRequest request, Prepared &prepared)
    {
        switch (request) {
        case AuthRequest::Password:
            prepared = {"pw-secret", "/v1/signin/email-password",
                        [this] { auth->SignIn("u@example.org", "pw-secret"); }};
            return true;
        case AuthRequest::RefreshToken:
            storeEarlierSession();
            prepared = {"r0", "/v1/token", [this] { auth->GetNewAccessToken(); }};
            return true;
        case AuthRequest::UpdateCheck:
            prepared = {"Bearer a1", "/v1/user", [this] { auth->CheckRccUpdate(); }};
            return signIn();
        case AuthRequest::Acknowledgement:
            prepared = {"Bearer a1", "/clear", [this] { auth->ClearRccUpdate(); }};
            return signIn();
        }
        return false;
    }
    // Sends it and waits for its end.
    bool sendAndWait(AuthRequest request, const Prepared &prepared)
    {
        const int before = int(answers->size());
        prepared.send();
        if ((request == AuthRequest::Password || request == AuthRequest::RefreshToken) &&
            !answered(before + 1))
            return false;
        return QTest::qWaitFor(
            [this] { return auth->network.findChildren<QNetworkReply *>().isEmpty(); }, 15000);
    }
    // The warning that reports its failure for the reason given.
    static void expectFailureLine(AuthRequest request, const QString &reason)
    {
        const QString quoted = QRegularExpression::escape('"' + reason + '"');
        switch (request) {
        case AuthRequest::Password:
        case AuthRequest::RefreshToken:
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^REST request failed: " + quoted));
            break;
        case AuthRequest::UpdateCheck:
            QTest::ignoreMessage(
                QtWarningMsg, QRegularExpression("^RCC update check failed: HTTP \\d+ " + quoted));
            break;
        case AuthRequest::Acknowledgement:
            QTest::ignoreMessage(
                QtWarningMsg, QRegularExpression("^clear_rcc_update failed: HTTP \\d+ " + quoted));
            break;
        }
    }

    // A session from an earlier run, for an hour.
    void storeEarlierSession()
    {
        QSettings &store = auth->Settings();
        store.setValue("token", EncodeStoredValue("a0"));
        store.setValue("refreshToken", EncodeStoredValue("r0"));
        store.setValue("tokenLifeTime", 3600);
        store.setValue("id", "user-1");
        store.setValue("email", "u@example.org");
    }
    QStringList storedTokens()
    {
        return {auth->GetAccessToken(),
                DecodeStoredValue(auth->Settings().value("refreshToken").toString())};
    }
    int tokenTimerInterval() const
    {
        return auth->tokenTimer.isActive() ? auth->tokenTimer.interval() : -1;
    }
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
