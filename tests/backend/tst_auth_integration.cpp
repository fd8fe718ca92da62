// The real AuthHandler against the real local backend process.

#include "backend_fixture.h"

#include "auth/authhandler.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>
#include <memory>

namespace {
const QString kEmail = QStringLiteral("grace@example.com");
const QString kPassword = QStringLiteral("hopper-1906");
const QString kRedirect = QStringLiteral("http://localhost:9/after-reset");
constexpr int kWaitMs = 30000;
} // namespace

class TestAuthIntegration : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void signInErrorsReachTheClient();
    void sessionRefreshResetAndUpdateFlag();

private:
    int logCount(const QByteArray &line) { return backend->log().count(line); }
    QString storedRefreshToken()
    {
        return DecodeStoredValue(auth->Settings().value("refreshToken").toString());
    }
    bool signIn(const QString &password, QString &response);

    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<LocalBackend> backend;
    std::unique_ptr<AuthHandler> auth;
    HttpClient http;
    QString userId;
};

void TestAuthIntegration::init()
{
    settingsDir = std::make_unique<QTemporaryDir>();
    QVERIFY(settingsDir->isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir->path());

    backend = std::make_unique<LocalBackend>();
    userId = backend->createUser(kEmail, kPassword);
    QVERIFY(!userId.isEmpty());
    QVERIFY(backend->start({"--lockout-threshold", "2"}));
    qputenv("CORVALEN_AUTH_BASE_URL", backend->baseUrl().toUtf8());
    qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL",
            (backend->baseUrl() + "/clear_rcc_update").toUtf8());
    qputenv("CORVALEN_RESET_PASSWORD_REDIRECT_URL", kRedirect.toUtf8());
    auth = std::make_unique<AuthHandler>();
    auth->ClearSession();
}

void TestAuthIntegration::cleanup()
{
    if (auth)
        auth->ClearSession();
    auth.reset();
    backend.reset();
    settingsDir.reset();
}

bool TestAuthIntegration::signIn(const QString &password, QString &response)
{
    QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
    auth->SignIn(kEmail, password);
    if (!responses.wait(kWaitMs) || responses.size() != 1)
        return false;
    response = responses.first().first().toString();
    return true;
}

void TestAuthIntegration::signInErrorsReachTheClient()
{
    QString response;
    QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
    auth->SignIn("nobody@example.com", kPassword);
    QVERIFY(responses.wait(kWaitMs));
    QCOMPARE(responses.takeFirst().first().toString(), QStringLiteral("EMAIL_NOT_FOUND"));

    QVERIFY(signIn("wrong", response));
    QCOMPARE(response, QStringLiteral("invalid-email-password"));
    QVERIFY(signIn("wrong", response));
    QVERIFY(signIn(kPassword, response));
    QVERIFY(response.startsWith("TOO_MANY_ATTEMPTS_TRY_LATER : Access to this account has been "
                                "temporarily disabled"));
    QVERIFY(!auth->HasStoredSession());
}

void TestAuthIntegration::sessionRefreshResetAndUpdateFlag()
{
    // Sign-in stores the session the backend issued.
    QString response;
    QVERIFY(signIn(kPassword, response));
    QCOMPARE(response, QStringLiteral("USER_AUTENTICATED"));
    QVERIFY(auth->HasStoredSession());
    QCOMPARE(auth->Settings().value("id").toString(), userId);
    QCOMPARE(auth->Settings().value("email").toString(), kEmail);
    QCOMPARE(auth->Settings().value("tokenLifeTime").toInt(), 900);
    const QString firstAccess = auth->GetAccessToken();
    QCOMPARE(http.get(backend->baseUrl() + "/user", firstAccess).status, 200);

    // Two refreshes in a row: the second only works if the rotated token was kept.
    const QString firstRefresh = storedRefreshToken();
    QSignalSpy refreshed(auth.get(), &AuthHandler::AccessTokenRefreshed);
    QSignalSpy signOut(auth.get(), &AuthHandler::SignOutUser);
    auth->GetNewAccessToken();
    QVERIFY(refreshed.wait(kWaitMs));
    const QString secondRefresh = storedRefreshToken();
    QVERIFY(secondRefresh != firstRefresh);
    QVERIFY(auth->GetAccessToken() != firstAccess);
    auth->GetNewAccessToken();
    QTRY_COMPARE_WITH_TIMEOUT(refreshed.size(), 2, kWaitMs);
    QVERIFY(storedRefreshToken() != secondRefresh);
    QCOMPARE(signOut.size(), 0);
    QCOMPARE(http.get(backend->baseUrl() + "/user", auth->GetAccessToken()).status, 200);
    const HttpReply spent =
        http.post(backend->baseUrl() + "/token",
                  QJsonDocument(QJsonObject{{"refreshToken", firstRefresh}}).toJson());
    QCOMPARE(spent.error(), QStringLiteral("invalid-refresh-token"));

    // Password reset: the mail lands in the outbox with the configured redirect.
    QSignalSpy responses(auth.get(), &AuthHandler::SignInResponse);
    auth->ResetPassword(kEmail);
    QTRY_VERIFY_WITH_TIMEOUT(!backend->cli("outbox").out.isEmpty(), kWaitMs);
    const QList<QByteArray> mail = backend->cli("outbox").out.trimmed().split(' ');
    QCOMPARE(mail.value(1), kEmail.toUtf8());
    const QUrlQuery link(QUrl(QString::fromUtf8(mail.value(2))));
    QVERIFY(!link.queryItemValue("ticket").isEmpty());
    QCOMPARE(link.queryItemValue("redirectTo", QUrl::FullyDecoded), kRedirect);

    // Update flag: nothing announced until a bundle is published.
    QSignalSpy updates(auth.get(), &AuthHandler::RccUpdateAvailable);
    const QByteArray checked = " GET /v1/user 200\n";
    int checks = logCount(checked);
    auth->CheckRccUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(logCount(checked), checks + 1, kWaitMs);

    QFile bundle(backend->filePath("dash.rcc"));
    QVERIFY(bundle.open(QIODevice::WriteOnly) && bundle.write("qres-dashboard") > 0);
    bundle.close();
    QCOMPARE(
        backend->cli("publish-bundle", {"--email", kEmail, "--file", bundle.fileName()}).exitCode,
        0);
    auth->CheckRccUpdate();
    QVERIFY(updates.wait(kWaitMs));
    QCOMPARE(updates.size(), 1);

    auth->ClearRccUpdate();
    QTRY_VERIFY_WITH_TIMEOUT(backend->log().contains(" POST /v1/clear_rcc_update 200\n"), kWaitMs);
    QVERIFY(backend->cli("show-user", {"--email", kEmail})
                .out.contains(R"("rcc_update_available":false)"));

    // Once cleared, a check announces nothing; a new publication is announced again.
    checks = logCount(checked);
    auth->CheckRccUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(logCount(checked), checks + 1, kWaitMs);
    QCOMPARE(
        backend->cli("publish-bundle", {"--email", kEmail, "--file", bundle.fileName()}).exitCode,
        0);
    auth->CheckRccUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(updates.size(), 2, kWaitMs);
    QCOMPARE(responses.size(), 0);
    QCOMPARE(signOut.size(), 0);
}

QTEST_GUILESS_MAIN(TestAuthIntegration)
#include "tst_auth_integration.moc"
