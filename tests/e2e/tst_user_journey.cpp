// A user's whole visit, in order: the real client in an Xvfb window, driven with xdotool, the real
// backend and broker. Screens are checked with pixel probes, the rest through logs and files.
#include <QDir>
#include <QImage>
#include <QPolygon>
#include <QSettings>

#include "e2e/e2e_support.h"
#include "support/mosquitto_broker.h"
#include "ui/test_fixtures.h"

namespace {
constexpr int Timeout = 60000; // generous: the machine may be busy building
const QString Email = QStringLiteral("journey@corvalen.example");
const QString Password = QStringLiteral("Journey-Pa55-word");
const QString WrongPassword = QStringLiteral("Wr0ng-journey-guess");
const QString FanTopic = QStringLiteral("corvalen/demo/fan");
const QStringList ErrorBox = {"--name", "^Inavlid email or password$"};
const QStringList DownloadBox = {"--name", "^RCC download failed$"};
const QString TrapTopic = QStringLiteral("corvalen/trap");

// Colours only one thing on screen has: the login page's Login and Sign Up buttons; the
// dashboard's page, fan and sign-out buttons, and the running-fan badge.
constexpr QRgb LoginButton = 0x800080;
constexpr QRgb SignUpButton = 0x0000ff;
constexpr QRgb DashboardPage = 0x0d1017;
constexpr QRgb FanButton = 0x2f6df6;
constexpr QRgb SignOutButton = 0x3a2230;
constexpr QRgb FanRunningBadge = 0x14352a;

// The pixels of exactly one colour, so that antialiased edges never count.
QPolygon pixelsOf(const QImage &image, QRgb colour)
{
    QPolygon pixels;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xffffff) == colour)
                pixels << QPoint(x, y);
    return pixels;
}

bool showsLoginPage(const QImage &screen)
{
    return pixelsOf(screen, LoginButton).size() > 3000 &&
           pixelsOf(screen, SignUpButton).size() > 3000;
}
} // namespace

class UserJourneyTest : public QObject
{
    Q_OBJECT

    QString path(const QString &name) const { return root.filePath(name); }
    QByteArray clientLog() const { return readFile(path(QStringLiteral("client.log"))); }
    bool clientLogged(const QString &line) const { return clientLog().contains(line.toUtf8()); }
    QVariant sessionValue(const QString &key) const
    {
        const QString file = path(QStringLiteral(".config/YourCompany/YourApp.ini"));
        return QSettings(file, QSettings::IniFormat).value(key);
    }
    std::optional<QByteArray> xdotool(const QStringList &args) const
    {
        return runTool(QStringLiteral("xdotool"), args);
    }
    QImage screenshot() const
    {
        const auto png = runTool(QStringLiteral("import"), {"-window", "root", "png:-"});
        return QImage::fromData(png.value_or(""), "PNG");
    }
    QString findWindow(const QStringList &criteria) const
    {
        // --sync waits until such a window is mapped; runTool bounds the wait.
        const auto found = xdotool(QStringList{"search", "--sync", "--onlyvisible"} + criteria);
        return QString::fromLatin1(found.value_or("")).section(QLatin1Char('\n'), 0, 0);
    }
    QRect geometryOf(const QString &window) const
    {
        QMap<QByteArray, int> values;
        const auto shell = xdotool({"getwindowgeometry", "--shell", window}).value_or("");
        for (const QByteArray &line : shell.split('\n'))
            values[line.split('=').value(0)] = line.split('=').value(1).toInt();
        return QRect(values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]);
    }
    void click(const QPoint &point) const
    {
        // There is no window manager: focus is given explicitly, never by activation.
        QVERIFY(xdotool({"windowfocus", "--sync", mainWindow, "mousemove", "--sync",
                         QString::number(point.x()), QString::number(point.y()), "click", "1"}));
    }
    void signIn(const QString &password) const
    {
        // The e-mail field sits in the middle of the page, the password field below it.
        click(windowArea.center());
        QVERIFY(xdotool({"type", "--delay", "20", Email}));
        click(windowArea.center() + QPoint(-60, 42));
        QVERIFY(xdotool({"type", "--delay", "20", password}));
        QVERIFY(xdotool({"key", "Return"}));
    }

    QTemporaryDir root; // first, so that it goes last
    QProcess xvfb;
    MosquittoBroker broker;
    LocalBackend backend;
    QProcess subscriber;
    QProcess client;
    QString cacheFile; // the user's bundle, as the client caches it
    QString mainWindow;
    QRect windowArea;
    // The passwords, and the session's tokens once signed in.
    QByteArrayList secrets{Password.toUtf8(), WrongPassword.toUtf8()};

private slots:
    void initTestCase()
    {
        // -displayfd: Xvfb picks a free display, prints its number once it accepts clients.
        xvfb.start(QStringLiteral("Xvfb"),
                   {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        QByteArray number;
        QTRY_VERIFY_WITH_TIMEOUT((number += xvfb.readAllStandardOutput()).endsWith('\n'), Timeout);
        qputenv("DISPLAY", ':' + number.trimmed()); // for the tools and the client

        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        QVERIFY2(backend.start(), backend.log().constData());
        const QString userId = backend.createUser(Email, Password);
        cacheFile = path(".local/share/corvalen_dashboard/dashboard_rcc_cache/" + userId + ".rcc");
        QVERIFY(backend.publishBundle(Email, QStringLiteral(SAMPLE_DASHBOARD_RCC), "raw"));

        // What the dashboard publishes, as the broker delivers it to another client.
        subscriber.setStandardOutputFile(path(QStringLiteral("subscriber.out")));
        subscriber.start(QStringLiteral("mosquitto_sub"),
                         {"-h", broker.host(), "-p", QString::number(broker.port()), "-i",
                          "e2e-fan-watch", "-v", "-t", FanTopic});
        QTRY_VERIFY_WITH_TIMEOUT(
            broker.logContains(QStringLiteral("Received SUBSCRIBE from e2e-fan-watch")), Timeout);

        // Nothing inherited: a private home (owner-only, as a runtime dir must be) for the
        // session, the bundle cache and Qt's runtime files.
        QProcessEnvironment env;
        env.insert(QStringLiteral("HOME"), root.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.path());
        QFile envFile(path(QStringLiteral(".env"))); // found in the working directory
        QVERIFY(envFile.open(QIODevice::WriteOnly));
        envFile.write(QStringLiteral("CORVALEN_AUTH_BASE_URL=%1\n"
                                     "CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL=%1/clear_rcc_update\n"
                                     "CORVALEN_MQTT_HOST=%2\nCORVALEN_MQTT_PORT=%3\n")
                          .arg(backend.baseUrl(), broker.host())
                          .arg(broker.port())
                          .toUtf8());
        envFile.close();
        env.insert(QStringLiteral("DISPLAY"), qEnvironmentVariable("DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));

        client.setProcessEnvironment(env);
        client.setWorkingDirectory(root.path());
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.setStandardOutputFile(path(QStringLiteral("client.log")));
        client.start(QStringLiteral(CORVALEN_DASHBOARD_EXECUTABLE), {});
        // The main window has no title xdotool can search, so it is found by its class.
        mainWindow = findWindow({"--classname", "^corvalen_dashboard$"});
        QVERIFY2(!mainWindow.isEmpty(), clientLog().constData());
        windowArea = geometryOf(mainWindow);
        QTRY_VERIFY_WITH_TIMEOUT(showsLoginPage(screenshot()), Timeout);
    }

    void cleanupTestCase()
    {
        // SIGTERM, so that Xvfb removes its lock file and socket.
        for (QProcess *process : {&client, &subscriber, &xvfb})
            stopProcess(*process);
    }

    void wrongPasswordKeepsLoginPage()
    {
        signIn(WrongPassword);

        // The service's refusal comes back as the native error box; Ok is its only button.
        const QString box = findWindow(ErrorBox);
        QVERIFY2(!box.isEmpty(), clientLog().constData());
        QVERIFY(clientLogged(QStringLiteral("qml: invalid-email-password")));
        click(geometryOf(box).bottomRight() - QPoint(50, 25));
        QTRY_VERIFY_WITH_TIMEOUT(!xdotool(QStringList{"search", "--onlyvisible"} + ErrorBox),
                                 Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(showsLoginPage(screenshot()), Timeout);
        QVERIFY(!clientLogged(QStringLiteral("Sample dashboard loaded")));
    }

    void signInShowsDashboard()
    {
        signIn(Password);

        for (const char *line :
             {"qml: USER_AUTENTICATED", "qml: Sample dashboard loaded: Sample dashboard",
              "qml: Sample dashboard MQTT connected"})
            QTRY_VERIFY2_WITH_TIMEOUT(clientLogged(QLatin1String(line)), line, Timeout);
        QImage screen;
        QTRY_VERIFY_WITH_TIMEOUT(pixelsOf(screen = screenshot(), DashboardPage).size() > 100000,
                                 Timeout);
        QVERIFY(!showsLoginPage(screen));
        QCOMPARE(readFile(cacheFile), readFile(QStringLiteral(SAMPLE_DASHBOARD_RCC)));

        // The session's tokens, raw and decoded, to look for in the logs at the end.
        for (const char *key : {"token", "refreshToken"}) {
            const QByteArray stored = sessionValue(QLatin1String(key)).toByteArray();
            QVERIFY(!stored.isEmpty());
            secrets << stored << QByteArray::fromBase64(stored);
        }
    }

    void brokerValuesReachDashboard()
    {
        // Two sensors' histories, each sent back to back: every reading arrives, unaltered.
        const QList<QPair<QString, double>> sensors = {{"corvalen/demo/temperature", 21.4},
                                                       {"corvalen/demo/humidity", 44.0}};
        for (const auto &[topic, first] : sensors) {
            QList<QByteArray> values;
            for (int i = 0; i < 15; ++i)
                values << QByteArray::number(first + i * 0.3, 'f', 1);
            QVERIFY(broker.publishEach(topic, values));
            for (const QByteArray &value : values) {
                const QString line = QStringLiteral("qml: Sample dashboard received %1 %2\n")
                                         .arg(topic, QLatin1String(value));
                QTRY_VERIFY2_WITH_TIMEOUT(clientLogged(line), qPrintable(line), Timeout);
            }
        }
    }

    void dashboardPublishReachesBroker()
    {
        // The fan button takes its colour once the dashboard is online.
        QRect button;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(button = pixelsOf(screenshot(), FanButton).boundingRect()).isEmpty(), Timeout);
        click(button.center());
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(path(QStringLiteral("subscriber.out"))).contains(FanTopic.toUtf8() + " on\n"),
            Timeout);

        // With the pointer off the button, the picture shows the dashboard as it normally looks.
        QVERIFY(xdotool({"mousemove", "--sync", QString::number(windowArea.left() + 5),
                         QString::number(windowArea.bottom() - 5)}));
        QImage screen;
        QTRY_VERIFY_WITH_TIMEOUT(pixelsOf(screen = screenshot(), FanRunningBadge).size() > 500,
                                 Timeout);
        const QString shots = qEnvironmentVariable("CORVALEN_SCREENSHOT_DIR");
        if (!shots.isEmpty())
            QVERIFY(QDir().mkpath(shots) && screen.copy(windowArea).save(shots + "/dashboard.png"));
    }

    void signOutReturnsToLoginPage()
    {
        const QString disconnect = QStringLiteral("Received DISCONNECT from ");
        const int before = broker.logCount(disconnect);
        QVERIFY(QFile::exists(cacheFile));

        click(pixelsOf(screenshot(), SignOutButton).boundingRect().center());
        QTRY_VERIFY_WITH_TIMEOUT(showsLoginPage(screenshot()), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: Sample dashboard closed")),
                                 Timeout);
        // The dashboard's connection is the only one that closes.
        QTRY_COMPARE_WITH_TIMEOUT(broker.logCount(disconnect), before + 1, Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cacheFile), Timeout);
        QVERIFY(sessionValue(QStringLiteral("refreshToken")).toString().isEmpty());
        QCOMPARE(client.state(), QProcess::Running);
    }

    // A dashboard's download fails and its box stays open; then the dashboard signs out from
    // its message handler. The program lives on, back on the login page, the cache gone.
    void dashboardSignsOutUnderOpenBox()
    {
        QTemporaryDir dir;
        QFile bundle(path(QStringLiteral("trap.rcc")));
        QVERIFY(bundle.open(QIODevice::WriteOnly));
        QVERIFY(bundle.write(buildDashboardBundle(dir.path(), kTrapDashboardQml)) > 0);
        bundle.close();
        QVERIFY(backend.publishBundle(Email, bundle.fileName(), "raw"));

        signIn(Password);
        QTRY_VERIFY2_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: Trap dashboard loaded")),
                                  clientLog().constData(), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(broker.subscriptions(".+").contains(TrapTopic), Timeout);
        QVERIFY(QFile::exists(cacheFile));
        QVERIFY(broker.publish(TrapTopic, "download"));
        QVERIFY2(!findWindow(DownloadBox).isEmpty(), clientLog().constData());

        QVERIFY(broker.publish(TrapTopic, "signout"));
        QTRY_VERIFY_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: Trap dashboard closed")),
                                 Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cacheFile), Timeout);
        QCOMPARE(client.state(), QProcess::Running);

        // The open box, then the one for the download started from inside the sign-out.
        const auto answerBoxes = [this] {
            const auto box = xdotool(QStringList{"search", "--onlyvisible"} + DownloadBox);
            if (!box)
                return showsLoginPage(screenshot());
            click(geometryOf(QString::fromLatin1(*box).section('\n', 0, 0)).bottomRight() -
                  QPoint(50, 25));
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(answerBoxes(), Timeout);
        QCOMPARE(client.state(), QProcess::Running);
    }

    void logsHoldNoSecrets()
    {
        QCOMPARE(secrets.size(), 6);
        for (const QByteArray &log : {clientLog(), backend.log()}) {
            QVERIFY(!log.isEmpty());
            for (const QByteArray &secret : std::as_const(secrets))
                QVERIFY(!log.contains(secret));
        }
    }
};

QTEST_GUILESS_MAIN(UserJourneyTest)
#include "tst_user_journey.moc"
