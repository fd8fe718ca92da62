// The real AuthHandler against the real local backend process.

#include <QJsonDocument>
#include <QtTest>

#include "auth/authhandler.h"
#include "support/http_clients.h"
#include "support/local_backend.h"
#include "support/sandbox.h"

#include <QSettings>
#include <QUrlQuery>
#include <memory>

namespace {
const QString kEmail = QStringLiteral("grace@example.com");
const QString kPassword = QStringLiteral("hopper-1906");
const QString kRedirect = QStringLiteral("http://localhost:9/after-reset");
} // namespace

class TestAuthIntegration : public QObject
{
    Q_OBJECT

    Sandbox sandbox;
    LocalBackend backend;
    std::unique_ptr<AuthHandler> auth;
    HttpClient http;
    QString userId;

    // The SignInResponse text of one sign-in attempt.
    QString signIn(const QString &email, const QString &password)
    {
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        auth->SignIn(email, password);
        return responses.wait(kWaitMs) ? responses.first().first().toString() : QString();
    }
    // Runs an update check and waits until the backend has answered it.
    bool checkRccUpdate()
    {
        const QByteArray answered = " GET /v1/user 200\n";
        const qsizetype before = backend.log().count(answered);
        auth->CheckRccUpdate();
        return QTest::qWaitFor([&] { return backend.log().count(answered) > before; }, kWaitMs);
    }

private slots:
    void initTestCase()
    {
        userId = backend.createUser(kEmail, kPassword);
        QVERIFY(!userId.isEmpty());
        QVERIFY(backend.start({"--lockout-threshold", "2", "--lockout-seconds", "1"}));
        qputenv("CORVALEN_AUTH_BASE_URL", backend.baseUrl().toUtf8());
        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL",
                (backend.baseUrl() + "/clear_rcc_update").toUtf8());
        qputenv("CORVALEN_RESET_PASSWORD_REDIRECT_URL", kRedirect.toUtf8());
        auth = std::make_unique<AuthHandler>();
    }

    void signInErrorsReachTheClient()
    {
        QCOMPARE(signIn("nobody@example.com", kPassword), QStringLiteral("EMAIL_NOT_FOUND"));
        QCOMPARE(signIn(kEmail, "wrong"), QStringLiteral("invalid-email-password"));
        QCOMPARE(signIn(kEmail, "wrong"), QStringLiteral("invalid-email-password"));
        QVERIFY(signIn(kEmail, kPassword)
                    .startsWith("TOO_MANY_ATTEMPTS_TRY_LATER : Access to this account has been "
                                "temporarily disabled"));
        QVERIFY(!auth->HasStoredSession());
    }

    void sessionRefreshResetAndUpdateFlag()
    {
        // The lock-out of the previous test runs out.
        QTRY_COMPARE_WITH_TIMEOUT(signIn(kEmail, kPassword), QStringLiteral("USER_AUTENTICATED"),
                                  kWaitMs);
        QCOMPARE(auth->Settings().value("id").toString(), userId);
        QCOMPARE(auth->Settings().value("tokenLifeTime").toInt(), 900);

        // Two refreshes in a row: the second only works if the rotated token was stored.
        QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
        QSignalSpy signOut(auth.get(), &AuthHandler::SignOutUser);
        QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
        auth->GetNewAccessToken();
        QVERIFY(refreshed.wait(kWaitMs));
        auth->GetNewAccessToken();
        QTRY_COMPARE_WITH_TIMEOUT(refreshed.size(), 2, kWaitMs);
        QCOMPARE(http.get(backend.baseUrl() + "/user", auth->GetAccessToken()).status, 200);

        // The reset mail carries the configured redirect.
        auth->ResetPassword(kEmail);
        QTRY_COMPARE_WITH_TIMEOUT(backend.resetLinks().size(), 1, kWaitMs);
        QCOMPARE(QUrlQuery(backend.resetLinks().value(0))
                     .queryItemValue("redirectTo", QUrl::FullyDecoded),
                 kRedirect);

        // Nothing is announced until a bundle is published; once acknowledged, until the next one.
        QSignalSpy updates(auth.get(), &AuthHandler::RccUpdateAvailable);
        QVERIFY(checkRccUpdate());
        QVERIFY(backend.publish(kEmail, "qres-dashboard"));
        auth->CheckRccUpdate();
        QVERIFY(updates.wait(kWaitMs));
        // What the client does on the announcement: fetch, then acknowledge what it got.
        QCOMPARE(http.get(backend.baseUrl() + "/get_dashboard_rcc?user_id=" + userId,
                          auth->GetAccessToken())
                     .body,
                 QByteArray("qres-dashboard"));
        auth->ClearRccUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(backend.log().contains(" POST /v1/clear_rcc_update 200\n"),
                                 kWaitMs);
        QVERIFY(backend.cli("show-user", {"--email", kEmail})
                    .out.contains(R"("rcc_update_available":false)"));
        QVERIFY(checkRccUpdate());
        QVERIFY(backend.publish(kEmail, "qres-dashboard-2"));
        auth->CheckRccUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(updates.size(), 2, kWaitMs);
        QCOMPARE(responses.size(), 0);
        QCOMPARE(signOut.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestAuthIntegration)
#include "tst_auth_integration.moc"
