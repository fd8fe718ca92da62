#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "support/scripted_http_server.h"
#include "ui/test_fixtures.h"
#include "viewmodel/viewmodel.h"

using Response = ScriptedHttpServer::Response;
using Request = ScriptedHttpServer::Request;

namespace {

QByteArray sessionReply(const QString &id, const QString &email)
{
    return QStringLiteral(R"({"session":{"accessToken":"acc","refreshToken":"ref",)"
                          R"("accessTokenExpiresIn":900,"user":{"id":"%1","email":"%2"}}})")
        .arg(id, email)
        .toUtf8();
}

// A reply that stays in flight: the body trickles out far slower than any test runs.
Response stalledReply()
{
    Response response;
    response.body = QByteArray(64, 'x');
    response.dribbleChunk = 1;
    response.dribbleDelayMs = 600000;
    return response;
}

} // namespace

class TestViewModel : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<ScriptedHttpServer> server;
    std::unique_ptr<ViewModel> vm;
    QHash<QString, QList<Response>> routes; // path -> answers in turn (the last one repeats)

    int requestsTo(const QString &path) const
    {
        int count = 0;
        for (const Request &request : server->requests())
            count += request.path() == path;
        return count;
    }

    void storeSession(const QVariantMap &values)
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("YourCompany"),
                        QStringLiteral("YourApp"));
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            store.setValue(it.key(), it.value());
        store.sync();
    }

    // Signed in as "u1" through a resumed session, without an access token unless given one:
    // a resolution started then fails at once, which makes an unwanted start visible.
    void resumeSession(const QString &token = QString())
    {
        QVariantMap values{{"id", "u1"}, {"email", "u1@example.com"}, {"refreshToken", "cmVm"}};
        if (!token.isEmpty())
            values.insert("token", EncodeStoredValue(token));
        storeSession(values);
        vm = std::make_unique<ViewModel>();
        QVERIFY(!vm->isUserLoggedIn());
        QCOMPARE(vm->currentUserId(), QStringLiteral("u1"));
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        settingsDir = std::make_unique<QTemporaryDir>();
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir->path());
        routes.clear();
        server = std::make_unique<ScriptedHttpServer>();
        QVERIFY(server->start());
        server->setHandler([this](const Request &request) {
            QList<Response> &answers = routes[request.path()];
            if (answers.isEmpty())
                return Response::json(404, "{}");
            return answers.size() > 1 ? answers.takeFirst() : answers.first();
        });
        qputenv("CORVALEN_AUTH_BASE_URL", (server->baseUrl() + "/v1").toUtf8());
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", (server->baseUrl() + "/fn").toUtf8());
        qunsetenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL");
    }

    void cleanup()
    {
        if (vm)
            vm->unregisterCurrentResource();
        vm.reset();
        server.reset();
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
    }

    void isUserLoggedInResumesStoredSession_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QString>("expectedUserId");
        // Whichever lifetime renews soonest, so that the armed token timer shows up in time.
        const qint64 lifetime =
            tokenRenewalIntervalMs(1) <= tokenRenewalIntervalMs(3600) ? 1 : 3600;
        QTest::newRow("complete session") << QVariantMap{{"id", "u1"},
                                                         {"email", "u1@example.com"},
                                                         {"refreshToken", EncodeStoredValue("ref")},
                                                         {"token", EncodeStoredValue("acc")},
                                                         {"tokenLifeTime", lifetime}}
                                          << "u1";
        QTest::newRow("nothing stored") << QVariantMap{} << "";
        QTest::newRow("no refresh token")
            << QVariantMap{{"id", "u1"}, {"email", "u1@example.com"}} << "";
    }
    void isUserLoggedInResumesStoredSession()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QString, expectedUserId);
        storeSession(stored);
        routes["/v1/token"] = {Response::json(
            200, R"({"accessToken":"acc2","refreshToken":"ref2","accessTokenExpiresIn":900})")};
        vm = std::make_unique<ViewModel>();

        QCOMPARE(vm->isUserLoggedIn(), false);
        QCOMPARE(vm->currentUserId(), expectedUserId);
        QCOMPARE(vm->isUserLoggedIn(), false);
        QCOMPARE(vm->currentUserId(), expectedUserId);
        if (!expectedUserId.isEmpty()) // the resumed session renews its token
            QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/v1/token"), 1, 15000);
    }

    void signInResponseRestoresUser_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("expectedResponse");
        QTest::addColumn<QString>("expectedUserId");
        QTest::newRow("authenticated")
            << 200 << sessionReply("u1", "u1@example.com") << "USER_AUTENTICATED"
            << "u1";
        QTest::newRow("authenticated, empty stored e-mail")
            << 200 << sessionReply("u1", "") << "USER_AUTENTICATED"
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
        QFETCH(QString, expectedResponse);
        QFETCH(QString, expectedUserId);
        routes["/v1/signin/email-password"] = {Response::json(status, reply)};
        vm = std::make_unique<ViewModel>();
        QSignalSpy responses(vm.get(), &ViewModel::authResponseChanged);
        QSignalSpy outcomes(vm.get(), &ViewModel::externalResourceLoadFinished);

        vm->logUserIn(QStringLiteral("u1@example.com"), QStringLiteral("secret"));
        QTRY_COMPARE_WITH_TIMEOUT(responses.count(), 1, 15000);
        QCOMPARE(responses.first().first().toString(), expectedResponse);
        QCOMPARE(vm->currentUserId(), expectedUserId);

        // Only a restored user reacts to an update announcement (without a token it fails
        // at once, so a start is visible synchronously).
        vm->auth().Settings().remove(QStringLiteral("token"));
        emit vm->auth().RccUpdateAvailable();
        QCOMPARE(outcomes.count(), expectedUserId.isEmpty() ? 0 : 1);
    }

    void rccUpdateStartsOnlyWhenSignedInAndIdle_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("inFlight");
        QTest::addColumn<int>("expectedOutcomes");
        QTest::newRow("signed out") << false << "" << 0;
        QTest::newRow("dashboard function running") << true << "function" << 0;
        QTest::newRow("direct download running") << true << "direct" << 0;
        QTest::newRow("signed in and idle") << true << "" << 1;
    }
    void rccUpdateStartsOnlyWhenSignedInAndIdle()
    {
        QFETCH(bool, signedIn);
        QFETCH(QString, inFlight);
        QFETCH(int, expectedOutcomes);
        routes["/stall"] = {stalledReply()};
        if (signedIn)
            resumeSession();
        else
            vm = std::make_unique<ViewModel>();
        const QUrl stall(server->baseUrl() + "/stall");
        if (inFlight == "function")
            QVERIFY(vm->requestDashboardFunction(stall, QStringLiteral("tok")));
        else if (inFlight == "direct")
            QVERIFY(vm->downloadAndRegisterExternalResource(stall.toString()));
        QSignalSpy outcomes(vm.get(), &ViewModel::externalResourceLoadFinished);

        emit vm->auth().RccUpdateAvailable();
        QCOMPARE(outcomes.count(), expectedOutcomes);
        if (expectedOutcomes)
            QCOMPARE(outcomes.first().at(1).toString(),
                     QStringLiteral("Missing access token. Please sign in again and retry."));
    }

    void accessTokenRefreshedResolvesOnlyWhenPending()
    {
        resumeSession();
        QSignalSpy outcomes(vm.get(), &ViewModel::externalResourceLoadFinished);
        emit vm->auth().AccessTokenRefreshed();
        QCOMPARE(outcomes.count(), 0);

        // A 401 from the dashboard function asks for the retry after the refresh.
        QTemporaryDir bundleDir;
        const QByteArray bundle =
            buildDashboardBundle(bundleDir.path(), "import QtQuick\nItem {}\n");
        QVERIFY(!bundle.isEmpty());
        Response raw;
        raw.body = bundle;
        raw.withHeader("Content-Type", "application/octet-stream");
        routes["/fn/get_dashboard_rcc"] = {Response::json(401, R"({"error":"expired"})"), raw};
        routes["/v1/token"] = {Response::json(
            200, R"({"accessToken":"acc2","refreshToken":"ref2","accessTokenExpiresIn":900})")};
        vm->auth().Settings().setValue(QStringLiteral("token"), EncodeStoredValue("acc"));

        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QTRY_COMPARE_WITH_TIMEOUT(outcomes.count(), 1, 15000);
        QCOMPARE(outcomes.first().first().toBool(), true);
        QCOMPARE(requestsTo("/v1/token"), 1);
        QCOMPARE(requestsTo("/fn/get_dashboard_rcc"), 2);

        // The pending retry was consumed: another refresh starts nothing.
        vm->auth().Settings().remove(QStringLiteral("token"));
        emit vm->auth().AccessTokenRefreshed();
        QCOMPARE(outcomes.count(), 1);
    }

    void logUserOutCleansUpAfterSignOutSignal_data()
    {
        QTest::addColumn<bool>("fromSessionExpiry");
        QTest::newRow("called from QML") << false;
        QTest::newRow("session expired") << true;
    }
    void logUserOutCleansUpAfterSignOutSignal()
    {
        QFETCH(bool, fromSessionExpiry);
        routes["/stall"] = {stalledReply()};
        resumeSession(QStringLiteral("acc"));
        QTemporaryDir bundleDir;
        const QByteArray bundle =
            buildDashboardBundle(bundleDir.path(), "import QtQuick\nItem {}\n");
        QVERIFY(vm->cacheAndRegisterPayload(bundle, QStringLiteral("u1"), QStringLiteral("test")));
        const QString cached = vm->dashboardCacheFilePath(QStringLiteral("u1"));
        const QString dashboard = QStringLiteral(":/external/dashboard.qml");
        QVERIFY(QFile::exists(cached) && QFile::exists(dashboard));
        QVERIFY(vm->requestDashboardFunction(QUrl(server->baseUrl() + "/stall"), "acc"));

        QSignalSpy outcomes(vm.get(), &ViewModel::externalResourceLoadFinished);
        QList<bool> seenAtSignOut;
        QString userIdAtSignOut = QStringLiteral("unset");
        connect(vm.get(), &ViewModel::signOutUser, this, [&]() {
            seenAtSignOut = {QFile::exists(dashboard), QFile::exists(cached)};
            userIdAtSignOut = vm->currentUserId();
        });

        if (fromSessionExpiry)
            emit vm->auth().SignOutUser();
        else
            vm->logUserOut();

        // The page still holds the dashboard while the signal is handled.
        QCOMPARE(seenAtSignOut, (QList<bool>{true, true}));
        QCOMPARE(userIdAtSignOut, QString());
        QVERIFY(vm->auth().Settings().allKeys().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(dashboard), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cached), 15000);
        QCOMPARE(outcomes.count(), 0); // the aborted transfer is dropped without a message
    }

    void messageBoxShowsTitleTwiceAndAnswersButton_data()
    {
        QTest::addColumn<int>("form");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("expectedButtons");
        QTest::addColumn<int>("expectedResult");
        QTest::newRow("title and message")
            << 2 << int(QMessageBox::Ok) << int(QMessageBox::Ok) << 1024;
        QTest::newRow("buttons and default, Cancel clicked")
            << 4 << int(QMessageBox::Cancel) << int(QMessageBox::Ok | QMessageBox::Cancel)
            << int(QMessageBox::Cancel);
        QTest::newRow("no-buttons form keeps Ok")
            << 0 << int(QMessageBox::Ok) << int(QMessageBox::Ok) << 0;
    }
    void messageBoxShowsTitleTwiceAndAnswersButton()
    {
        QFETCH(int, form);
        QFETCH(int, answer);
        QFETCH(int, expectedButtons);
        QFETCH(int, expectedResult);
        vm = std::make_unique<ViewModel>();
        MessageBoxWatcher boxes;
        boxes.answer = QMessageBox::StandardButton(answer);
        const QString title = QStringLiteral("Disk full");
        const QString message = QStringLiteral("Free some space\nand retry.");

        int result = 0;
        if (form == 2) {
            result = vm->ShowCustomMessage(title, message);
        } else if (form == 4) {
            // Through the meta-object, as QML and queued callers reach the slot.
            QVERIFY(QMetaObject::invokeMethod(
                vm.get(), "ShowCustomMessage", Qt::DirectConnection, Q_RETURN_ARG(int, result),
                Q_ARG(QString, title), Q_ARG(QString, message),
                Q_ARG(QMessageBox::StandardButtons, QMessageBox::Ok | QMessageBox::Cancel),
                Q_ARG(QMessageBox::StandardButton, QMessageBox::Cancel)));
        } else {
            vm->ShowCustomMessageNoBtns(title, message);
        }

        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown[0].windowTitle, title);
        QCOMPARE(boxes.shown[0].text, title);
        QCOMPARE(boxes.shown[0].informativeText, message);
        QCOMPARE(int(boxes.shown[0].buttons), expectedButtons);
        QCOMPARE(result, expectedResult);

        // The one box is reused: a later message replaces texts and buttons.
        boxes.answer = QMessageBox::Ok;
        QCOMPARE(vm->ShowCustomMessage(QStringLiteral("Second"), QStringLiteral("two")), 1024);
        QCOMPARE(boxes.shown.size(), 2);
        QCOMPARE(boxes.shown[1].informativeText, QStringLiteral("two"));
        QCOMPARE(int(boxes.shown[1].buttons), int(QMessageBox::Ok));
    }
};

QTEST_MAIN(TestViewModel)
#include "tst_viewmodel.moc"
