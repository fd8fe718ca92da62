#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "mqtt/mqttclient.h"
#include "support/scripted_http_server.h"
#include "ui/test_fixtures.h"
#include "viewmodel/viewmodel.h"

using Response = ScriptedHttpServer::Response;
using Request = ScriptedHttpServer::Request;

namespace {

const QString kTooManyAttempts = QStringLiteral(
    "TOO_MANY_ATTEMPTS_TRY_LATER : Access to this account has been temporarily disabled due "
    "to many failed login attempts. You can immediately restore it by resetting your password "
    "or you can try again later.");

QByteArray errorReply(const QString &text)
{
    return QJsonDocument(QJsonObject{{"error", text}}).toJson(QJsonDocument::Compact);
}

QByteArray sessionReply(const QString &id)
{
    return QStringLiteral(R"({"session":{"accessToken":"acc-%1","refreshToken":"ref",)"
                          R"("accessTokenExpiresIn":900,"user":{"id":"%1","email":"%1@ex.com"}}})")
        .arg(id)
        .toUtf8();
}

QQuickItem *findButton(QQuickItem *root, const QString &text)
{
    for (QQuickItem *child : root->childItems()) {
        if (child->isVisible() && child->inherits("QQuickAbstractButton") &&
            child->property("text").toString() == text)
            return child;
        if (QQuickItem *found = findButton(child, text))
            return found;
    }
    return nullptr;
}

} // namespace

class TestUi : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<ScriptedHttpServer> server;
    QHash<QString, QList<Response>> routes; // path -> answers in turn (the last one repeats)
    std::unique_ptr<ViewModel> vm;
    std::unique_ptr<MqttClient> mqtt;
    std::unique_ptr<QQmlApplicationEngine> engine;
    std::unique_ptr<MessageBoxWatcher> boxes;
    QQuickWindow *window = nullptr;
    QList<QUrl> openedUrls;

    QQuickItem *item(const char *name) const { return window->findChild<QQuickItem *>(name); }
    QObject *object(const char *name) const { return window->findChild<QObject *>(name); }

    void click(QQuickItem *target)
    {
        QVERIFY(target);
        const QPointF centre(target->width() / 2, target->height() / 2);
        QTest::mouseClick(window, Qt::LeftButton, {}, target->mapToScene(centre).toPoint());
    }

    void enterCredentials(const QString &email, const QString &password)
    {
        item("emailField")->setProperty("text", email);
        item("passwordField")->setProperty("text", password);
    }

    // A native box takes activation away and nothing hands it back here (no window manager),
    // so the window is re-activated before keyboard focus is judged.
    bool loginFormIdle()
    {
        if (!window->isActive()) {
            window->requestActivate();
            if (!QTest::qWaitForWindowActive(window))
                return false;
        }
        return item("loginPage")->isVisible() && !item("mainPage")->isVisible() &&
               item("emailField")->isVisible() && item("passwordField")->isVisible() &&
               item("loginButton")->isVisible() && item("signUpButton")->isVisible() &&
               !item("busyIndicator")->isVisible() && item("emailField")->hasActiveFocus();
    }

    QObject *dashboardObject() const
    {
        return item("mainPage")->property("externalDashboardObject").value<QObject *>();
    }

    QList<Request> requestsTo(const QString &path) const
    {
        QList<Request> matching;
        for (const Request &request : server->requests())
            if (request.path() == path)
                matching.append(request);
        return matching;
    }

    static void saveScreenshot(const QImage &image, const QString &name)
    {
        const QString dir = qEnvironmentVariable("CORVALEN_SCREENSHOT_DIR");
        if (!dir.isEmpty())
            QVERIFY(QDir().mkpath(dir) && image.save(dir + QLatin1Char('/') + name));
    }

public slots:
    void recordOpenedUrl(const QUrl &url) { openedUrls.append(url); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral("qrc:/user_interface/")));
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

        vm = std::make_unique<ViewModel>();
        mqtt = std::make_unique<MqttClient>();
        vm->setMqttClient(mqtt.get());
        engine = std::make_unique<QQmlApplicationEngine>();
        vm->setQmlEngine(engine.get());
        engine->rootContext()->setContextProperty("manager", vm.get());
        engine->rootContext()->setContextProperty("mqttClient", mqtt.get());
        engine->load(QUrl(QStringLiteral("qrc:/user_interface/qml_files/main.qml")));
        QCOMPARE(engine->rootObjects().size(), 1);
        window = qobject_cast<QQuickWindow *>(engine->rootObjects().first());
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(window));
        boxes = std::make_unique<MessageBoxWatcher>();
    }

    void cleanup()
    {
        boxes.reset();
        vm->unregisterCurrentResource();
        engine.reset();
        mqtt.reset();
        vm.reset();
        server.reset();
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
    }

    void loginPageLook()
    {
        QVERIFY(loginFormIdle());
        QQuickItem *logo = item("logo");
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QImage shot = window->grabWindow();
                const QRect box = logo->mapRectToScene(logo->boundingRect()).toRect();
                // Masked corners, painted disc: the circular crop renders on this platform.
                for (const QPoint corner :
                     {box.topLeft() + QPoint(4, 4), box.topRight() + QPoint(-4, 4),
                      box.bottomLeft() + QPoint(4, -4), box.bottomRight() + QPoint(-4, -4)})
                    if (shot.pixelColor(corner) != QColor(Qt::black))
                        return false;
                return shot.pixelColor(box.center()) != QColor(Qt::black);
            }(),
            15000);
        saveScreenshot(window->grabWindow(), QStringLiteral("login-page.png"));

        QQuickItem *password = item("passwordField");
        QQuickItem *toggle = item("passwordToggle");
        QCOMPARE(password->property("rightPadding").toReal(), toggle->width() + 10);
        click(toggle);
        QCOMPARE(password->property("echoMode").toInt(), 0); // Normal
        QCOMPARE(toggle->property("text").toString(), QStringLiteral("Hide"));
        click(toggle);
        QCOMPARE(password->property("echoMode").toInt(), 2); // Password
        QCOMPARE(toggle->property("text").toString(), QStringLiteral("Show"));
    }

    void responseTextShowsItsMessage_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply"); // empty: the response text is empty
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        QTest::newRow("invalid-email-password")
            << 400 << errorReply("invalid-email-password") << "Inavlid email or password"
            << "Please enter a valid e-mail and password.";
        QTest::newRow("EMAIL_NOT_FOUND")
            << 400 << errorReply("EMAIL_NOT_FOUND") << "User e-mail not found"
            << "There is not a account with this e-mail,\nplease signup to continue";
        QTest::newRow("too many attempts")
            << 400 << errorReply(kTooManyAttempts) << "Too many attempts"
            << "Access to this account has been temporarily\ndisabled due to many failed login "
               "attempts";
        QTest::newRow("SESSION_EXPIRED")
            << 401 << errorReply("SESSION_EXPIRED") << "Session expired"
            << "Please sign in again.";
        QTest::newRow("invalid response from server")
            << 200 << QByteArray("<html>maintenance</html>") << "Ops!"
            << "Something went wrong, please try again later.";
        QTest::newRow("other text shown verbatim")
            << 403 << QByteArray(R"({"message":"  Account locked by admin  "})") << "Ops!"
            << "Account locked by admin";
        QTest::newRow("compared case-sensitively")
            << 400 << errorReply("Invalid-Email-Password") << "Ops!"
            << "Invalid-Email-Password";
        QTest::newRow("empty text") << 0 << QByteArray() << "Ops!"
                                    << "Something went wrong, please try again later.";
    }
    void responseTextShowsItsMessage()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, title);
        QFETCH(QString, message);
        if (QTest::currentDataTag() == QLatin1String("invalid-email-password"))
            boxes->onShown = [](QMessageBox *box) {
                saveScreenshot(box->grab().toImage(), QStringLiteral("error-box.png"));
            };

        if (reply.isEmpty()) {
            vm->GetSignInResponse(QString());
        } else {
            routes["/v1/signin/email-password"] = {Response::json(status, reply)};
            enterCredentials(QStringLiteral("user@example.com"), QStringLiteral("pw"));
            click(item("loginButton"));
        }

        QTRY_COMPARE_WITH_TIMEOUT(boxes->shown.size(), 1, 15000);
        QCOMPARE(boxes->shown[0].windowTitle, title);
        QCOMPARE(boxes->shown[0].text, title);
        QCOMPARE(boxes->shown[0].informativeText, message);
        QTRY_VERIFY_WITH_TIMEOUT(loginFormIdle(), 15000);
        QCOMPARE(boxes->shown.size(), 1);
    }

    void returnOrEnterSignsInFromEitherField_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<int>("key");
        QTest::newRow("Return in password field")
            << QByteArray("passwordField") << int(Qt::Key_Return);
        QTest::newRow("Enter in e-mail field") << QByteArray("emailField") << int(Qt::Key_Enter);
    }
    void returnOrEnterSignsInFromEitherField()
    {
        QFETCH(QByteArray, field);
        QFETCH(int, key);
        routes["/v1/signin/email-password"] = {
            Response::json(400, errorReply("invalid-email-password"))};
        enterCredentials(QStringLiteral(" Someone@Example.com"), QStringLiteral("p@ss word"));
        item("loginPage")->setProperty("passwordVisible", true);
        item(field.constData())->forceActiveFocus();

        QTest::keyClick(window, Qt::Key(key));
        QCOMPARE(item("emailField")->property("text").toString(), QString());
        QCOMPARE(item("passwordField")->property("text").toString(), QString());
        QCOMPARE(item("loginPage")->property("passwordVisible").toBool(), false);
        QVERIFY(item("busyIndicator")->isVisible() && !item("emailField")->isVisible());

        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/v1/signin/email-password").size(), 1, 15000);
        const QJsonObject body =
            QJsonDocument::fromJson(requestsTo("/v1/signin/email-password")[0].body).object();
        QCOMPARE(body.value("email").toString(), QStringLiteral(" Someone@Example.com"));
        QCOMPARE(body.value("password").toString(), QStringLiteral("p@ss word"));
        QTRY_COMPARE_WITH_TIMEOUT(boxes->shown.size(), 1, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(loginFormIdle(), 15000);
    }

    void signInShowsDashboardAndSignOutReturnsToLogin()
    {
        QTemporaryDir bundles;
        const QByteArray first = buildDashboardBundle(
            bundles.filePath("a"), "import QtQuick\nRectangle { objectName: \"first\"; width: "
                                   "10; height: 10; color: \"teal\" }\n");
        const QByteArray second = buildDashboardBundle(
            bundles.filePath("b"), "import QtQuick\nRectangle { objectName: \"second\" }\n");
        QVERIFY(!first.isEmpty() && !second.isEmpty());
        Response firstRaw, secondRaw;
        firstRaw.body = first;
        secondRaw.body = second;
        routes["/v1/signin/email-password"] = {Response::json(200, sessionReply("u1")),
                                               Response::json(200, sessionReply("u2"))};
        routes["/fn/get_dashboard_rcc"] = {firstRaw, secondRaw};

        enterCredentials(QStringLiteral("u1@ex.com"), QStringLiteral("pw"));
        click(item("loginButton"));
        QTRY_VERIFY_WITH_TIMEOUT(item("mainPage")->isVisible(), 15000);
        QVERIFY(!item("loginPage")->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(dashboardObject(), 15000);
        QCOMPARE(dashboardObject()->objectName(), QStringLiteral("first"));
        QCOMPARE(qobject_cast<QQuickItem *>(dashboardObject())->width(), item("mainPage")->width());
        QVERIFY(boxes->shown.isEmpty());

        vm->logUserOut();
        QVERIFY(loginFormIdle());
        QCOMPARE(item("emailField")->property("text").toString(), QString());
        QVERIFY(!dashboardObject());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral(":/external/dashboard.qml")), 15000);

        // The next user on this machine gets their own dashboard, not a cached component.
        enterCredentials(QStringLiteral("u2@ex.com"), QStringLiteral("pw"));
        click(item("loginButton"));
        QTRY_VERIFY_WITH_TIMEOUT(dashboardObject(), 15000);
        QCOMPARE(dashboardObject()->objectName(), QStringLiteral("second"));
        QVERIFY(boxes->shown.isEmpty());
    }

    void resetDialogSendsOnlyNonEmptyEmail()
    {
        QObject *dialog = object("resetDialog");
        QQuickItem *field = item("resetEmailField");
        routes["/v1/user/password/reset"] = {Response::json(200, "{}")};
        auto openDialog = [&] {
            click(item("forgotPasswordLabel"));
            QTRY_VERIFY_WITH_TIMEOUT(dialog->property("opened").toBool(), 15000);
            QVERIFY(field->hasActiveFocus());
        };
        auto press = [&](const QString &text) {
            click(findButton(window->contentItem(), text));
            QTRY_VERIFY_WITH_TIMEOUT(!dialog->property("visible").toBool(), 15000);
        };

        openDialog();
        press(QStringLiteral("OK")); // empty: closes without a request

        openDialog();
        field->setProperty("text", QStringLiteral("typo@example.com"));
        press(QStringLiteral("Cancel"));
        openDialog();
        QCOMPARE(field->property("text").toString(), QString());

        field->setProperty("text", QStringLiteral("reset@example.com"));
        saveScreenshot(window->grabWindow(), QStringLiteral("reset-dialog.png"));
        press(QStringLiteral("OK"));
        QCOMPARE(field->property("text").toString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/v1/user/password/reset").size(), 1, 15000);
        const QJsonObject body =
            QJsonDocument::fromJson(requestsTo("/v1/user/password/reset")[0].body).object();
        QCOMPARE(body.value("email").toString(), QStringLiteral("reset@example.com"));
        QCOMPARE(server->requestCount(), 1);
        QVERIFY(boxes->shown.isEmpty());
    }

    void signUpOpensSignUpPage()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "recordOpenedUrl");
        click(item("signUpButton"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(openedUrls,
                 QList<QUrl>{QUrl(QStringLiteral("https://www.corvalen.example/signup"))});
    }

    void messageRequestedShowsNothingOnDesktop()
    {
        emit vm->messageRequested(QStringLiteral("Hello"), QStringLiteral("From the dashboard"));
        QVERIFY(boxes->shown.isEmpty());
        QVERIFY(!object("appMessageDialog")->property("visible").toBool());
        QVERIFY(loginFormIdle());
    }

    void dashboardRootAnchoring_data()
    {
        QTest::addColumn<QByteArray>("qml");
        QTest::addColumn<bool>("created");
        QTest::newRow("item root fills the page")
            << QByteArray("import QtQuick\nRectangle { width: 10; height: 10 }\n") << true;
        QTest::newRow("QtObject root is not resized")
            << QByteArray("import QtQml\nQtObject { objectName: \"plain\" }\n") << true;
        QTest::newRow("broken QML is only logged")
            << QByteArray("import QtQuick\nItem { width: }\n") << false;
    }
    void dashboardRootAnchoring()
    {
        QFETCH(QByteArray, qml);
        QFETCH(bool, created);
        QTemporaryDir dir;
        QVERIFY(!buildDashboardBundle(dir.path(), qml).isEmpty());
        QVERIFY(vm->registerExternalResource(dir.filePath("bundle.rcc")));
        if (!created)
            QTest::ignoreMessage(
                QtCriticalMsg, QRegularExpression("Failed to load external dashboard component:"));

        QVERIFY(QMetaObject::invokeMethod(item("mainPage"), "loadExternalDashboard"));
        QObject *dashboard = dashboardObject();
        QCOMPARE(dashboard != nullptr, created);
        if (auto *root = qobject_cast<QQuickItem *>(dashboard)) {
            QCOMPARE(root->parentItem(), item("dashboardHost"));
            QCOMPARE(root->size(), item("dashboardHost")->size());
        }
        QVERIFY(boxes->shown.isEmpty());
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
