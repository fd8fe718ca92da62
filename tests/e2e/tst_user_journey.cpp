// A user's whole visit, black-box: the real corvalen_dashboard in a real X window on a private
// Xvfb display, the real local backend, a real mosquitto broker, and the sample dashboard
// bundle. Input goes through xdotool as a user's would; what the user sees is checked with
// pixel probes on screenshots, what happens behind it through the programs' logs, the
// broker's log and the files the client keeps. The steps run in order, as one visit.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <utility>

#include "e2e/e2e_support.h"
#include "support/mosquitto_broker.h"

namespace {
constexpr int Timeout = 60000; // generous: the machine may be busy building
const QString Email = QStringLiteral("journey@corvalen.example");
const QString Password = QStringLiteral("Journey-Pa55-word");
const QString WrongPassword = QStringLiteral("Wr0ng-journey-guess");
// The main window has no title of its own (its _NET_WM_NAME is the application name, which
// this xdotool does not search), so it is found by its class; the error box by its title.
const QStringList MainWindow = {QStringLiteral("--classname"),
                                QStringLiteral("^corvalen_dashboard$")};
const QStringList ErrorBox = {QStringLiteral("--name"),
                              QStringLiteral("^Inavlid email or password$")};
const QString FanTopic = QStringLiteral("corvalen/demo/fan");

// Colours that only one thing on screen has: the login page's Login and Sign Up buttons, and
// the sample dashboard's page, publish button, sign-out button and running-fan badge.
constexpr QRgb LoginButton = 0x800080;
constexpr QRgb SignUpButton = 0x0000ff;
constexpr QRgb DashboardPage = 0x0d1017;
constexpr QRgb FanButton = 0x2f6df6;
constexpr QRgb SignOutButton = 0x3a2230;
constexpr QRgb FanRunningBadge = 0x14352a;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool showsLoginPage(const QImage &screen)
{
    return countPixels(screen, LoginButton) > 3000 && countPixels(screen, SignUpButton) > 3000;
}

bool showsDashboard(const QImage &screen)
{
    return countPixels(screen, DashboardPage) > 100000 && !showsLoginPage(screen);
}
} // namespace

class UserJourneyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void wrongPasswordKeepsLoginPage();
    void signInShowsDashboard();
    void brokerValuesReachDashboard();
    void dashboardPublishReachesBroker();
    void signOutReturnsToLoginPage();
    void logsHoldNoSecrets();

private:
    QString path(const QString &name) const { return root.filePath(name); }
    QByteArray clientLog() const { return readFile(path(QStringLiteral("client.log"))); }
    bool clientLogged(const QString &line) const { return clientLog().contains(line.toUtf8()); }
    QString cacheFile() const;
    QString settingsFile() const;
    QString findWindow(const QStringList &criteria) const;
    QRect geometryOf(const QString &window) const;
    void click(const QPoint &screenPoint) const;
    void signIn(const QString &password);
    QString dashboardMqttClientId() const;

    QTemporaryDir root;
    VirtualDisplay display;
    MosquittoBroker broker;
    LocalBackend backend{QStringLiteral(CORVALEN_BACKEND_EXECUTABLE)};
    QProcess client;
    QProcess subscriber;
    QString userId;
    QString mainWindow;
    QRect windowArea;
    QStringList secrets;
};

void UserJourneyTest::initTestCase()
{
    const QString missing =
        missingTools({QStringLiteral("Xvfb"), QStringLiteral("xdotool"), QStringLiteral("import"),
                      QStringLiteral("mosquitto"), QStringLiteral("mosquitto_pub"),
                      QStringLiteral("mosquitto_sub")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: ") + missing));
    QVERIFY(root.isValid());

    QVERIFY2(display.start(QSize(1280, 800)), qPrintable(display.errorString()));
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    QVERIFY2(backend.start(), qPrintable(backend.errorString()));
    userId = backend.createUser(Email, Password);
    QVERIFY(!userId.isEmpty());
    QVERIFY(
        backend.publishBundle(Email, QStringLiteral(SAMPLE_DASHBOARD_RCC), QStringLiteral("raw")));

    // Whatever the dashboard publishes, as the broker delivers it to another client.
    subscriber.setStandardOutputFile(path(QStringLiteral("subscriber.out")));
    subscriber.start(QStringLiteral("mosquitto_sub"),
                     {QStringLiteral("-h"), broker.host(), QStringLiteral("-p"),
                      QString::number(broker.port()), QStringLiteral("-i"),
                      QStringLiteral("e2e-fan-watch"), QStringLiteral("-v"), QStringLiteral("-t"),
                      FanTopic});
    QVERIFY(subscriber.waitForStarted(Timeout));
    QTRY_VERIFY_WITH_TIMEOUT(
        broker.logContains(QStringLiteral("Received SUBSCRIBE from e2e-fan-watch")), Timeout);

    // A private home: the session file, the bundle cache and Qt's runtime files go there.
    QProcessEnvironment env = display.environment(QProcessEnvironment::systemEnvironment());
    for (const QString &key : env.keys()) {
        if (key.startsWith(QLatin1String("CORVALEN_")) || key.startsWith(QLatin1String("XDG_")))
            env.remove(key);
    }
    for (const char *name :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString dir = path(QString::fromLatin1(name).toLower());
        QVERIFY(QDir().mkpath(dir));
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(QString::fromLatin1(name), dir);
    }
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));

    QFile envFile(path(QStringLiteral("client.env")));
    QVERIFY(envFile.open(QIODevice::WriteOnly));
    envFile.write(QStringLiteral("CORVALEN_AUTH_BASE_URL=%1\n"
                                 "CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL=%1/clear_rcc_update\n"
                                 "CORVALEN_MQTT_HOST=%2\n"
                                 "CORVALEN_MQTT_PORT=%3\n")
                      .arg(backend.baseUrl(), broker.host())
                      .arg(broker.port())
                      .toUtf8());
    envFile.close();
    env.insert(QStringLiteral("CORVALEN_ENV_FILE"), envFile.fileName());

    client.setProcessEnvironment(env);
    client.setWorkingDirectory(root.path());
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.setStandardOutputFile(path(QStringLiteral("client.log")));
    client.start(QStringLiteral(CORVALEN_DASHBOARD_EXECUTABLE), {});
    QVERIFY2(client.waitForStarted(Timeout), qPrintable(client.errorString()));

    mainWindow = findWindow(MainWindow);
    QVERIFY2(!mainWindow.isEmpty(), clientLog().constData());
    windowArea = geometryOf(mainWindow);
    QVERIFY(!windowArea.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(showsLoginPage(display.screenshot()), Timeout);
}

void UserJourneyTest::cleanupTestCase()
{
    stopProcess(client);
    stopProcess(subscriber);
    if (QTest::currentTestFailed() || qEnvironmentVariableIsSet("CORVALEN_E2E_VERBOSE")) {
        qInfo().noquote() << "---- client log\n" << clientLog();
        qInfo().noquote() << "---- backend log\n" << backend.log();
    }
}

QString UserJourneyTest::cacheFile() const
{
    return path(QStringLiteral("xdg_data_home/corvalen_dashboard/dashboard_rcc_cache/") + userId +
                QStringLiteral(".rcc"));
}

QString UserJourneyTest::settingsFile() const
{
    return path(QStringLiteral("xdg_config_home/YourCompany/YourApp.ini"));
}

QString UserJourneyTest::findWindow(const QStringList &criteria) const
{
    // --sync waits until such a window is mapped; the tool's own time-out bounds the wait.
    const QStringList search{QStringLiteral("search"), QStringLiteral("--sync"),
                             QStringLiteral("--onlyvisible")};
    const ToolResult found = display.xdotool(search + criteria, Timeout);
    return found.ok() ? QString::fromLatin1(found.output).split(QLatin1Char('\n')).value(0)
                      : QString();
}

QRect UserJourneyTest::geometryOf(const QString &window) const
{
    const ToolResult shell =
        display.xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
    QRect area;
    for (const QByteArray &line : shell.output.split('\n')) {
        const QList<QByteArray> pair = line.split('=');
        const int value = pair.value(1).toInt();
        if (pair.value(0) == "X")
            area.moveLeft(value);
        else if (pair.value(0) == "Y")
            area.moveTop(value);
        else if (pair.value(0) == "WIDTH")
            area.setWidth(value);
        else if (pair.value(0) == "HEIGHT")
            area.setHeight(value);
    }
    return area;
}

void UserJourneyTest::click(const QPoint &screenPoint) const
{
    // There is no window manager: focus is given explicitly, never by activation.
    QVERIFY(display.xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), mainWindow})
                .ok());
    QVERIFY(display
                .xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"),
                          QString::number(screenPoint.x()), QString::number(screenPoint.y()),
                          QStringLiteral("click"), QStringLiteral("1")})
                .ok());
}

void UserJourneyTest::signIn(const QString &password)
{
    // The e-mail field sits in the middle of the page, the password field 10 px below it.
    const QPoint centre = windowArea.center();
    click(centre);
    QVERIFY(display
                .xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"),
                          Email})
                .ok());
    click(centre + QPoint(-60, 42));
    QVERIFY(display
                .xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"),
                          password})
                .ok());
    QVERIFY(display.xdotool({QStringLiteral("key"), QStringLiteral("Return")}).ok());
}

void UserJourneyTest::wrongPasswordKeepsLoginPage()
{
    signIn(WrongPassword);

    // The service's refusal comes back as the native error box, on top of the login page.
    const QString box = findWindow(ErrorBox);
    QVERIFY2(!box.isEmpty(), clientLog().constData());
    QVERIFY(clientLogged(QStringLiteral("qml: invalid-email-password")));

    // Ok is the box's only button, in its bottom-right corner.
    const QRect boxArea = geometryOf(box);
    QVERIFY(!boxArea.isEmpty());
    click(boxArea.bottomRight() - QPoint(50, 25));
    const QStringList searchBox =
        QStringList{QStringLiteral("search"), QStringLiteral("--onlyvisible")} + ErrorBox;
    QTRY_VERIFY_WITH_TIMEOUT(!display.xdotool(searchBox).ok(), Timeout);

    QCOMPARE(client.state(), QProcess::Running);
    QTRY_VERIFY_WITH_TIMEOUT(showsLoginPage(display.screenshot()), Timeout);
    QVERIFY(!clientLogged(QStringLiteral("Sample dashboard loaded")));
}

void UserJourneyTest::signInShowsDashboard()
{
    signIn(Password);

    QTRY_VERIFY_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: USER_AUTENTICATED")), Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(
        clientLogged(QStringLiteral("qml: Sample dashboard loaded: Sample dashboard")), Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: Sample dashboard MQTT connected")),
                             Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(showsDashboard(display.screenshot()), Timeout);

    // The bundle came from the backend and was cached under the private data home.
    QCOMPARE(readFile(cacheFile()), readFile(QStringLiteral(SAMPLE_DASHBOARD_RCC)));

    // Remember the session's tokens, to look for them in the logs at the end.
    QSettings session(settingsFile(), QSettings::IniFormat);
    for (const char *key : {"token", "refreshToken"}) {
        const QByteArray stored = session.value(QLatin1String(key)).toByteArray();
        QVERIFY2(!stored.isEmpty(), key);
        secrets << QString::fromLatin1(stored) << QString::fromUtf8(QByteArray::fromBase64(stored));
    }
}

void UserJourneyTest::brokerValuesReachDashboard()
{
    // Two sensors' histories, each sent back to back from one connection: every reading must
    // reach the dashboard, none lost or altered on the way.
    const QList<QPair<QString, QList<QByteArray>>> series = {
        {QStringLiteral("corvalen/demo/temperature"),
         {"21.4", "21.6", "21.9", "22.3", "22.6", "22.4", "22.1", "22.5", "22.9", "23.2", "23.0",
          "22.8", "22.6", "22.9", "23.1"}},
        {QStringLiteral("corvalen/demo/humidity"),
         {"44.0", "44.6", "45.3", "46.1", "46.8", "47.2", "46.9", "46.4", "45.8", "45.1", "44.7",
          "45.2", "45.9", "46.3", "46.0"}},
    };
    for (const auto &sensor : series) {
        QVERIFY(broker.publishEach(sensor.first, sensor.second));
        for (const QByteArray &value : sensor.second) {
            const QString line = QStringLiteral("qml: Sample dashboard received %1 %2\n")
                                     .arg(sensor.first, QString::fromLatin1(value));
            QTRY_VERIFY2_WITH_TIMEOUT(clientLogged(line), qPrintable(line), Timeout);
        }
    }
}

void UserJourneyTest::dashboardPublishReachesBroker()
{
    // The fan button is enabled (and drawn in its colour) once the dashboard is online.
    QRect button;
    QTRY_VERIFY_WITH_TIMEOUT(!(button = boundingBoxOf(display.screenshot(), FanButton)).isEmpty(),
                             Timeout);
    click(button.center());

    QTRY_VERIFY_WITH_TIMEOUT(
        readFile(path(QStringLiteral("subscriber.out"))).contains(FanTopic.toUtf8() + " on\n"),
        Timeout);
    // The dashboard subscribes to the same topic and sees its own command come back.
    QTRY_VERIFY_WITH_TIMEOUT(
        clientLogged(QStringLiteral("qml: Sample dashboard received corvalen/demo/fan on")),
        Timeout);

    // The pointer leaves the button, so the picture shows it as it normally looks.
    QVERIFY(display
                .xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"),
                          QString::number(windowArea.left() + 5),
                          QString::number(windowArea.bottom() - 5)})
                .ok());
    QImage screen;
    QTRY_VERIFY_WITH_TIMEOUT(countPixels(screen = display.screenshot(), FanRunningBadge) > 500,
                             Timeout);
    const QString shots = qEnvironmentVariable("CORVALEN_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        QVERIFY(QDir().mkpath(shots));
        QVERIFY(
            screen.copy(windowArea).save(QDir(shots).filePath(QStringLiteral("dashboard.png"))));
    }
}

QString UserJourneyTest::dashboardMqttClientId() const
{
    // Our own tools connect as e2e-* or with broker-assigned auto-* ids; the client does not.
    static const QRegularExpression connected(
        QStringLiteral("New client connected from \\S+ as (\\S+)"));
    for (const QString &line : broker.logLines()) {
        const QString id = connected.match(line).captured(1);
        if (!id.isEmpty() && !id.startsWith(QLatin1String("e2e-")) &&
            !id.startsWith(QLatin1String("auto-")))
            return id;
    }
    return {};
}

void UserJourneyTest::signOutReturnsToLoginPage()
{
    const QString mqttId = dashboardMqttClientId();
    QVERIFY2(!mqttId.isEmpty(), qPrintable(broker.logLines().join(QLatin1Char('\n'))));
    QVERIFY(QFile::exists(cacheFile()));

    const QRect button = boundingBoxOf(display.screenshot(), SignOutButton);
    QVERIFY(!button.isEmpty());
    click(button.center());

    QTRY_VERIFY_WITH_TIMEOUT(showsLoginPage(display.screenshot()), Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: Sample dashboard closed")), Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(
        broker.logContains(QStringLiteral("Received DISCONNECT from ") + mqttId), Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cacheFile()), Timeout);
    QSettings session(settingsFile(), QSettings::IniFormat);
    QVERIFY(session.value(QStringLiteral("refreshToken")).toString().isEmpty());
    QCOMPARE(client.state(), QProcess::Running);
}

void UserJourneyTest::logsHoldNoSecrets()
{
    QVERIFY(secrets.size() == 4);
    secrets << Password << WrongPassword;
    const QByteArray clientText = clientLog();
    const QByteArray backendText = backend.log();
    QVERIFY(!clientText.isEmpty());
    QVERIFY(!backendText.isEmpty());
    for (const QString &secret : std::as_const(secrets)) {
        QVERIFY(secret.size() >= 8);
        QVERIFY2(!clientText.contains(secret.toUtf8()), "a secret is in the client's log");
        QVERIFY2(!backendText.contains(secret.toUtf8()), "a secret is in the backend's log");
    }
}

QTEST_GUILESS_MAIN(UserJourneyTest)
#include "tst_user_journey.moc"
