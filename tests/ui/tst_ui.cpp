#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>
#include <memory>

#include "mqtt/mqttclient.h"
#include "ui/test_fixtures.h"
#include "viewmodel/viewmodel.h"

using Response = ScriptedHttpServer::Response;

namespace {

QByteArray errorReply(const QString &text)
{
    return QJsonDocument(QJsonObject{{"error", text}}).toJson(QJsonDocument::Compact);
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

void saveScreenshot(const QImage &image, const QString &name)
{
    const QString dir = qEnvironmentVariable("CORVALEN_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        QVERIFY(QDir().mkpath(dir) && image.save(dir + "/" + name));
}

} // namespace

// The real main.qml with the real ViewModel and MqttClient, signing in against loopback.
class TestUi : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopbackBackend> backend;
    std::unique_ptr<ViewModel> vm;
    std::unique_ptr<MqttClient> mqtt;
    std::unique_ptr<QQmlApplicationEngine> engine;
    std::unique_ptr<MessageBoxWatcher> boxes;
    QQuickWindow *window = nullptr;

    QQuickItem *item(const char *name) const { return window->findChild<QQuickItem *>(name); }
    QObject *dashboard() const
    {
        return item("mainPage")->property("externalDashboardObject").value<QObject *>();
    }

    void click(QQuickItem *target)
    {
        QVERIFY(target);
        const QPointF centre(target->width() / 2, target->height() / 2);
        QTest::mouseClick(window, Qt::LeftButton, {}, target->mapToScene(centre).toPoint());
    }

    void signIn(const QString &email, const QString &password)
    {
        item("emailField")->setProperty("text", email);
        item("passwordField")->setProperty("text", password);
        click(item("loginButton"));
    }

    // A native box takes activation away and, without a window manager, nothing hands it
    // back; re-activate before judging keyboard focus.
    bool loginFormIdle()
    {
        if (!window->isActive()) {
            window->requestActivate();
            if (!QTest::qWaitForWindowActive(window))
                return false;
        }
        bool idle = item("loginPage")->isVisible() && !item("mainPage")->isVisible() &&
                    !item("busyIndicator")->isVisible() && item("emailField")->hasActiveFocus();
        for (const char *name : {"emailField", "passwordField", "loginButton", "signUpButton"})
            idle = idle && item(name)->isVisible();
        return idle;
    }

private slots:
    void init()
    {
        QTest::failOnWarning(QRegularExpression("qrc:/user_interface/"));
        backend = std::make_unique<LoopbackBackend>();
        QVERIFY(backend->start());
        vm = std::make_unique<ViewModel>();
        mqtt = std::make_unique<MqttClient>();
        engine = std::make_unique<QQmlApplicationEngine>();
        vm->setMqttClient(mqtt.get());
        vm->setQmlEngine(engine.get());
        engine->rootContext()->setContextProperty("manager", vm.get());
        engine->rootContext()->setContextProperty("mqttClient", mqtt.get());
        engine->load(QUrl("qrc:/user_interface/qml_files/main.qml"));
        QCOMPARE(engine->rootObjects().size(), 1);
        window = qobject_cast<QQuickWindow *>(engine->rootObjects().first());
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
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
        backend.reset();
    }

    void loginPageShowsCircularLogo()
    {
        QVERIFY(loginFormIdle());
        QQuickItem *logo = item("logo");
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QImage shot = window->grabWindow();
                const QRect box = logo->mapRectToScene(logo->boundingRect()).toRect();
                // Just outside the disc, well inside the square: erased, whatever the image.
                for (const QPoint off : {QPoint(71, 71), QPoint(-71, 71), QPoint(71, -71)})
                    if (shot.pixelColor(box.center() + off) != QColor(Qt::black))
                        return false;
                return shot.pixelColor(box.center()) != QColor(Qt::black);
            }(),
            15000);
        saveScreenshot(window->grabWindow(), "login-page.png");
    }

    void responseTextShowsItsMessage_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply"); // empty: the response text itself is empty
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        const QString tooMany =
            "TOO_MANY_ATTEMPTS_TRY_LATER : Access to this account has been temporarily disabled "
            "due to many failed login attempts. You can immediately restore it by resetting your "
            "password or you can try again later.";
        const QString oops = "Something went wrong, please try again later.";
        QTest::newRow("invalid-email-password")
            << 400 << errorReply("invalid-email-password") << "Inavlid email or password"
            << "Please enter a valid e-mail and password.";
        QTest::newRow("EMAIL_NOT_FOUND")
            << 400 << errorReply("EMAIL_NOT_FOUND") << "User e-mail not found"
            << "There is not a account with this e-mail,\nplease signup to continue";
        QTest::newRow("too many attempts")
            << 400 << errorReply(tooMany) << "Too many attempts"
            << "Access to this account has been temporarily\ndisabled due to many failed login "
               "attempts";
        QTest::newRow("SESSION_EXPIRED")
            << 401 << errorReply("SESSION_EXPIRED") << "Session expired"
            << "Please sign in again.";
        QTest::newRow("invalid response") << 200 << QByteArray("<html/>") << "Ops!" << oops;
        QTest::newRow("other text, verbatim")
            << 403 << QByteArray(R"({"message":" Locked by admin "})") << "Ops!"
            << "Locked by admin";
        QTest::newRow("case differs") << 400 << errorReply("EMAIL_not_FOUND") << "Ops!"
                                      << "EMAIL_not_FOUND";
        QTest::newRow("empty text") << 0 << QByteArray() << "Ops!" << oops;
    }
    void responseTextShowsItsMessage()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, title);
        QFETCH(QString, message);
        if (QTest::currentDataTag() == QLatin1String("invalid-email-password"))
            boxes->onShown = [](QMessageBox *box) {
                saveScreenshot(box->grab().toImage(), "error-box.png");
            };
        backend->routes["/v1/signin/email-password"] = {Response::json(status, reply)};
        if (reply.isEmpty())
            vm->GetSignInResponse(QString());
        else
            signIn("user@example.com", "pw");

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
        QTest::newRow("Return, password") << QByteArray("passwordField") << int(Qt::Key_Return);
        QTest::newRow("Enter, e-mail") << QByteArray("emailField") << int(Qt::Key_Enter);
    }
    void returnOrEnterSignsInFromEitherField()
    {
        QFETCH(QByteArray, field);
        QFETCH(int, key);
        backend->routes["/v1/signin/email-password"] = {Response::json(400, errorReply("x"))};
        item("emailField")->setProperty("text", " Some@Example.com");
        item("passwordField")->setProperty("text", "p@ss word");
        item("loginPage")->setProperty("passwordVisible", true);
        item(field.constData())->forceActiveFocus();

        QTest::keyClick(window, Qt::Key(key));
        QCOMPARE(item("emailField")->property("text").toString(), QString());
        QCOMPARE(item("passwordField")->property("text").toString(), QString());
        QCOMPARE(item("loginPage")->property("passwordVisible").toBool(), false);
        QVERIFY(item("busyIndicator")->isVisible() && !item("emailField")->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(backend->requestsTo("/v1/signin/email-password").size(), 1,
                                  15000);
        const auto body = QJsonDocument::fromJson(backend->server.lastRequest().body).object();
        QCOMPARE(body, (QJsonObject{{"email", " Some@Example.com"}, {"password", "p@ss word"}}));
        QTRY_VERIFY_WITH_TIMEOUT(boxes->shown.size() == 1 && loginFormIdle(), 15000);
    }

    void signInShowsDashboardAndSignOutReturnsToLogin()
    {
        QTemporaryDir dir;
        const QByteArray bundle = buildDashboardBundle(
            dir.path(), "import QtQuick\nRectangle { objectName: \"board\"; width: 10 }");
        backend->routes["/v1/signin/email-password"] = {
            Response::json(200, sessionReply("u1", "u1@ex.com"))};
        backend->routes["/fn/get_dashboard_rcc"] = {LoopbackBackend::raw(bundle)};

        signIn("u1@ex.com", "pw");
        QTRY_VERIFY_WITH_TIMEOUT(item("mainPage")->isVisible() && dashboard(), 15000);
        QVERIFY(!item("loginPage")->isVisible());
        QCOMPARE(dashboard()->objectName(), "board");
        QCOMPARE(dashboard()->property("width").toReal(), item("mainPage")->width());

        vm->logUserOut();
        QVERIFY(loginFormIdle());
        QVERIFY(!dashboard());
        QCOMPARE(item("emailField")->property("text").toString(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(":/external/dashboard.qml"), 15000);
        QVERIFY(boxes->shown.isEmpty());
    }

    void resetDialogSendsOnlyNonEmptyEmail()
    {
        QObject *dialog = window->findChild<QObject *>("resetDialog");
        QQuickItem *field = item("resetEmailField");
        auto open = [&] {
            click(item("forgotPasswordLabel"));
            QTRY_VERIFY_WITH_TIMEOUT(dialog->property("opened").toBool(), 15000);
            QVERIFY(field->hasActiveFocus());
        };
        auto press = [&](const QString &button, const QString &text) {
            field->setProperty("text", text);
            if (text == "reset@example.com")
                saveScreenshot(window->grabWindow(), "reset-dialog.png");
            click(findButton(window->contentItem(), button));
            QTRY_VERIFY_WITH_TIMEOUT(!dialog->property("visible").toBool(), 15000);
            QCOMPARE(field->property("text").toString(), QString());
        };
        backend->routes["/v1/user/password/reset"] = {Response::json(200, "{}")};
        open();
        press("OK", ""); // closes without a request
        open();
        press("Cancel", "typo@example.com");
        open();
        press("OK", "reset@example.com");
        QTRY_COMPARE_WITH_TIMEOUT(backend->server.requestCount(), 1, 15000);
        QCOMPARE(backend->server.lastRequest().path(), "/v1/user/password/reset");
        const auto body = QJsonDocument::fromJson(backend->server.lastRequest().body).object();
        QCOMPARE(body.value("email").toString(), "reset@example.com");
    }

    void messageRequestedShowsNothingOnDesktop()
    {
        emit vm->messageRequested("Hello", "From the dashboard");
        QVERIFY(boxes->shown.isEmpty());
        QVERIFY(!window->findChild<QObject *>("appMessageDialog")->property("visible").toBool());
    }

    void dashboardRootAnchoring_data()
    {
        QTest::addColumn<QByteArray>("qml");
        QTest::addColumn<bool>("created");
        QTest::newRow("item root fills the host")
            << QByteArray("import QtQuick\nRectangle { width: 10; height: 10 }") << true;
        QTest::newRow("QtObject root, no anchors")
            << QByteArray("import QtQml\nQtObject { objectName: \"plain\" }") << true;
        QTest::newRow("broken QML only logged")
            << QByteArray("import QtQuick\nItem { x: }") << false;
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
        QCOMPARE(dashboard() != nullptr, created);
        if (auto *root = qobject_cast<QQuickItem *>(dashboard()))
            QCOMPARE(root->size(), item("dashboardHost")->size());
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
