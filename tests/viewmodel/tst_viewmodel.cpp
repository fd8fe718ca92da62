#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "ui/test_fixtures.h"
#include "viewmodel/viewmodel.h"

using Response = ScriptedHttpServer::Response;

class TestViewModel : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopbackBackend> backend;
    std::unique_ptr<ViewModel> vm;

    static void storeSession(const QVariantMap &values)
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "YourCompany", "YourApp");
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            store.setValue(it.key(), it.value());
    }

    // Signed in as "u1" from a stored session. Without an access token a resolution fails at
    // once, which makes an unwanted start visible synchronously.
    void resumeSession(const QString &token = QString())
    {
        storeSession({{"id", "u1"}, {"email", "u1@ex.com"}, {"refreshToken", "cmVm"}});
        if (!token.isEmpty())
            storeSession({{"token", EncodeStoredValue(token)}});
        vm = std::make_unique<ViewModel>();
        QVERIFY(!vm->isUserLoggedIn());
        QCOMPARE(vm->currentUserId(), QStringLiteral("u1"));
    }

    // A reply that stays in flight: its body trickles out slower than any test runs.
    QUrl stalledUrl()
    {
        Response stalled = LoopbackBackend::raw(QByteArray(64, 'x'));
        stalled.dribbleChunk = 1;
        stalled.dribbleDelayMs = 600000;
        backend->routes["/stall"] = {stalled};
        return QUrl(backend->server.baseUrl() + "/stall");
    }

private slots:
    void init()
    {
        backend = std::make_unique<LoopbackBackend>();
        QVERIFY(backend->start());
        backend->routes["/v1/token"] = {Response::json(
            200, R"({"accessToken":"acc2","refreshToken":"ref2","accessTokenExpiresIn":900})")};
    }
    void cleanup()
    {
        if (vm)
            vm->unregisterCurrentResource();
        vm.reset();
        backend.reset();
    }

    void isUserLoggedInResumesStoredSession_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QString>("userId");
        // Whichever lifetime renews sooner, so that the armed token timer shows in time.
        const int lifetime = tokenRenewalIntervalMs(1) <= tokenRenewalIntervalMs(3600) ? 1 : 3600;
        QTest::newRow("complete") << QVariantMap{{"id", "u1"},
                                                 {"email", "e"},
                                                 {"token", "YQ=="},
                                                 {"refreshToken", "cg=="},
                                                 {"tokenLifeTime", lifetime}}
                                  << "u1";
        QTest::newRow("nothing stored") << QVariantMap{} << "";
        QTest::newRow("no refresh token") << QVariantMap{{"id", "u1"}, {"email", "e"}} << "";
    }
    void isUserLoggedInResumesStoredSession()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QString, userId);
        storeSession(stored);
        vm = std::make_unique<ViewModel>();
        for (int call = 0; call < 2; ++call) {
            QCOMPARE(vm->isUserLoggedIn(), false);
            QCOMPARE(vm->currentUserId(), userId);
        }
        if (!userId.isEmpty()) // the resumed session renews its token
            QTRY_COMPARE_WITH_TIMEOUT(backend->requestsTo("/v1/token").size(), 1, 15000);
    }

    void signInResponseRestoresUser_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("response");
        QTest::addColumn<QString>("userId");
        QTest::newRow("authenticated")
            << 200 << sessionReply("u1", "u1@ex.com") << "USER_AUTENTICATED"
            << "u1";
        QTest::newRow("empty e-mail") << 200 << sessionReply("u1", "") << "USER_AUTENTICATED"
                                      << "";
        QTest::newRow("already logged in")
            << 200 << QByteArray(R"({"session":null})") << "USER_ALREADY_LOGGED_IN"
            << "";
        QTest::newRow("rejected") << 400 << QByteArray(R"({"error":"invalid-email-password"})")
                                  << "invalid-email-password"
                                  << "";
    }
    void signInResponseRestoresUser()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, response);
        QFETCH(QString, userId);
        backend->routes["/v1/signin/email-password"] = {Response::json(status, reply)};
        vm = std::make_unique<ViewModel>();
        QSignalSpy responses(vm.get(), &ViewModel::authResponseChanged);
        QSignalSpy outcomes(vm.get(), &ViewModel::externalResourceLoadFinished);

        vm->logUserIn("u1@ex.com", "secret");
        QTRY_COMPARE_WITH_TIMEOUT(responses.count(), 1, 15000);
        QCOMPARE(responses[0][0].toString(), response);
        QCOMPARE(vm->currentUserId(), userId);

        // Only a restored user reacts to an update announcement.
        vm->auth().Settings().remove("token");
        emit vm->auth().RccUpdateAvailable();
        QCOMPARE(outcomes.count(), userId.isEmpty() ? 0 : 1);
    }

    void rccUpdateStartsOnlyWhenSignedInAndIdle_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("running");
        QTest::addColumn<int>("outcomes");
        QTest::newRow("signed out") << false << "" << 0;
        QTest::newRow("dashboard function running") << true << "function" << 0;
        QTest::newRow("direct download running") << true << "direct" << 0;
        QTest::newRow("signed in and idle") << true << "" << 1;
    }
    void rccUpdateStartsOnlyWhenSignedInAndIdle()
    {
        QFETCH(bool, signedIn);
        QFETCH(QString, running);
        QFETCH(int, outcomes);
        if (signedIn)
            resumeSession();
        else
            vm = std::make_unique<ViewModel>();
        if (running == "function")
            QVERIFY(vm->requestDashboardFunction(stalledUrl(), "tok"));
        else if (running == "direct")
            QVERIFY(vm->downloadAndRegisterExternalResource(stalledUrl().toString()));
        QSignalSpy spy(vm.get(), &ViewModel::externalResourceLoadFinished);

        emit vm->auth().RccUpdateAvailable();
        QCOMPARE(spy.count(), outcomes);
        if (outcomes)
            QCOMPARE(spy[0][1].toString(), "Missing access token. Please sign in again and retry.");
    }

    void accessTokenRefreshedResolvesOnlyWhenPending()
    {
        resumeSession();
        QSignalSpy outcomes(vm.get(), &ViewModel::externalResourceLoadFinished);
        emit vm->auth().AccessTokenRefreshed();
        QCOMPARE(outcomes.count(), 0);

        // A 401 from the dashboard function leaves a retry pending until the refresh.
        QTemporaryDir dir;
        backend->routes["/fn/get_dashboard_rcc"] = {
            Response::json(401, "{}"),
            LoopbackBackend::raw(buildDashboardBundle(dir.path(), "import QtQuick\nItem {}"))};
        vm->auth().Settings().setValue("token", EncodeStoredValue("acc"));
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QTRY_COMPARE_WITH_TIMEOUT(outcomes.count(), 1, 15000);
        QCOMPARE(outcomes[0][0].toBool(), true);
        QCOMPARE(backend->requestsTo("/v1/token").size(), 1);
        QCOMPARE(backend->requestsTo("/fn/get_dashboard_rcc").size(), 2);

        vm->auth().Settings().remove("token"); // the retry was consumed
        emit vm->auth().AccessTokenRefreshed();
        QCOMPARE(outcomes.count(), 1);
    }

    void logUserOutCleansUpAfterSignOutSignal_data()
    {
        QTest::addColumn<bool>("sessionExpired");
        QTest::newRow("called from QML") << false;
        QTest::newRow("session expired") << true;
    }
    void logUserOutCleansUpAfterSignOutSignal()
    {
        QFETCH(bool, sessionExpired);
        resumeSession("acc");
        QTemporaryDir dir;
        const QByteArray bundle = buildDashboardBundle(dir.path(), "import QtQuick\nItem {}");
        QVERIFY(vm->cacheAndRegisterPayload(bundle, "u1", "test"));
        const QString cached = vm->dashboardCacheFilePath("u1");
        const QString dashboard = ":/external/dashboard.qml";
        QVERIFY(vm->requestDashboardFunction(stalledUrl(), "acc"));
        QSignalSpy outcomes(vm.get(), &ViewModel::externalResourceLoadFinished);
        QList<QVariant> atSignOut;
        connect(vm.get(), &ViewModel::signOutUser, this, [&] {
            atSignOut = {QFile::exists(dashboard), QFile::exists(cached), vm->currentUserId()};
        });

        if (sessionExpired)
            emit vm->auth().SignOutUser();
        else
            vm->logUserOut();
        // The page may still hold the dashboard while the signal is handled.
        QCOMPARE(atSignOut, (QList<QVariant>{true, true, QString()}));
        QVERIFY(vm->auth().Settings().allKeys().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(dashboard) && !QFile::exists(cached), 15000);
        QCOMPARE(outcomes.count(), 0); // the aborted transfer is dropped without a message
    }
};

QTEST_MAIN(TestViewModel)
#include "tst_viewmodel.moc"
