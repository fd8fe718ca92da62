// A user's whole visit, in order: the real client in an Xvfb window, driven with xdotool, the real
// backend and broker. Screens are checked with pixel probes, the rest through logs and files.
#include <QDir>
#include <QSettings>
#include <QtTest>

#include "support/dashboards.h"
#include "support/desktop_client.h"
#include "support/local_backend.h"
#include "support/mosquitto_broker.h"
#include "support/processes.h"
#include "support/sandbox.h"

namespace {
constexpr int Timeout = 60000; // generous: the machine may be busy building
const QString Email = QStringLiteral("journey@corvalen.example");
const QString Password = QStringLiteral("Journey-Pa55-word");
const QString WrongPassword = QStringLiteral("Wr0ng-journey-guess");
const QString FanTopic = QStringLiteral("corvalen/demo/fan");
const QStringList ErrorBox = {"--name", "^Inavlid email or password$"};
const QStringList DownloadBox = {"--name", "^RCC download failed$"};
const QString TrapTopic = QStringLiteral("corvalen/trap");

// Colours only one thing on screen has: the dashboard's page, fan and sign-out buttons, and the
// running-fan badge.
constexpr QRgb DashboardPage = 0x0d1017;
constexpr QRgb FanButton = 0x2f6df6;
constexpr QRgb SignOutButton = 0x3a2230;
constexpr QRgb FanRunningBadge = 0x14352a;
} // namespace

class UserJourneyTest : public QObject
{
    Q_OBJECT

    bool clientLogged(const QString &line) const { return client.log().contains(line.toUtf8()); }
    QVariant sessionValue(const QString &key) const
    {
        const QString file = root.filePath(QStringLiteral(".config/YourCompany/YourApp.ini"));
        return QSettings(file, QSettings::IniFormat).value(key);
    }
    void signIn(const QString &password) const { QVERIFY(client.signIn(Email, password)); }

    Sandbox root; // first, so that it goes last
    PrivateDisplay display;
    MosquittoBroker broker;
    LocalBackend backend;
    QProcess subscriber;
    DesktopClient client;
    QString cacheFile; // the user's bundle, as the client caches it
    // The passwords, and the session's tokens once signed in.
    QByteArrayList secrets{Password.toUtf8(), WrongPassword.toUtf8()};

private slots:
    void initTestCase()
    {
        QVERIFY(display.start());
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        QVERIFY2(backend.start(), backend.log().constData());
        const QString userId = backend.createUser(Email, Password);
        cacheFile =
            root.filePath(".local/share/corvalen_dashboard/dashboard_rcc_cache/" + userId + ".rcc");
        QVERIFY(backend.publish(Email, readFile(SAMPLE_DASHBOARD_RCC)));

        // What the dashboard publishes, as the broker delivers it to another client.
        subscriber.setStandardOutputFile(root.filePath(QStringLiteral("subscriber.out")));
        endWithTestProgram(subscriber);
        subscriber.start(QStringLiteral("mosquitto_sub"),
                         {"-h", broker.host(), "-p", QString::number(broker.port()), "-i",
                          "e2e-fan-watch", "-v", "-t", FanTopic});
        QTRY_VERIFY_WITH_TIMEOUT(
            broker.logContains(QStringLiteral("Received SUBSCRIBE from e2e-fan-watch")), Timeout);

        // Nothing inherited but the private home; the .env is found in the working directory.
        QVERIFY(
            writeFile(root.filePath(QStringLiteral(".env")),
                      QStringLiteral("CORVALEN_AUTH_BASE_URL=%1\n"
                                     "CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL=%1/clear_rcc_update\n"
                                     "CORVALEN_MQTT_HOST=%2\nCORVALEN_MQTT_PORT=%3\n")
                          .arg(backend.baseUrl(), broker.host())
                          .arg(broker.port())
                          .toUtf8()));
        QProcessEnvironment env;
        env.insert(QStringLiteral("HOME"), root.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.path());
        QVERIFY2(client.start(env, root.filePath(QStringLiteral("client.log"))),
                 client.log().constData());
    }

    void cleanupTestCase()
    {
        // SIGTERM, so that the client and the subscriber end cleanly.
        stopProcess(client.process());
        stopProcess(subscriber);
    }

    void wrongPasswordKeepsLoginPage()
    {
        signIn(WrongPassword);

        // The service's refusal comes back as the native error box; Ok is its only button.
        const QString box = client.findWindow(ErrorBox);
        QVERIFY2(!box.isEmpty(), client.log().constData());
        QVERIFY(clientLogged(QStringLiteral("qml: invalid-email-password")));
        QVERIFY(client.clickOk(box));
        QTRY_VERIFY_WITH_TIMEOUT(client.findWindow(ErrorBox, false).isEmpty(), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(client.showsLoginPage(), Timeout);
        QVERIFY(!clientLogged(QStringLiteral("Sample dashboard loaded")));
    }

    void signInShowsDashboard()
    {
        signIn(Password);

        for (const char *line :
             {"qml: USER_AUTENTICATED", "qml: Sample dashboard loaded: Sample dashboard",
              "qml: Sample dashboard MQTT connected"})
            QTRY_VERIFY2_WITH_TIMEOUT(clientLogged(QLatin1String(line)), line, Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(pixelsOf(client.screenshot(), DashboardPage).size() > 100000,
                                 Timeout);
        QVERIFY(!client.showsLoginPage());
        QCOMPARE(readFile(cacheFile), readFile(SAMPLE_DASHBOARD_RCC));

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
            !(button = pixelsOf(client.screenshot(), FanButton).boundingRect()).isEmpty(), Timeout);
        QVERIFY(client.click(button.center()));
        QTRY_VERIFY_WITH_TIMEOUT(readFile(root.filePath(QStringLiteral("subscriber.out")))
                                     .contains(FanTopic.toUtf8() + " on\n"),
                                 Timeout);

        // With the pointer off the button, the picture shows the dashboard as it normally looks.
        QVERIFY(
            runTool("xdotool", {"mousemove", "--sync", QString::number(client.area().left() + 5),
                                QString::number(client.area().bottom() - 5)})
                .ok());
        QImage screen;
        QTRY_VERIFY_WITH_TIMEOUT(
            pixelsOf(screen = client.screenshot(), FanRunningBadge).size() > 500, Timeout);
        const QString shots = qEnvironmentVariable("CORVALEN_SCREENSHOT_DIR");
        if (!shots.isEmpty())
            QVERIFY(QDir().mkpath(shots) &&
                    screen.copy(client.area()).save(shots + "/dashboard.png"));
    }

    void signOutReturnsToLoginPage()
    {
        const QString disconnect = QStringLiteral("Received DISCONNECT from ");
        const int before = broker.logCount(disconnect);
        QVERIFY(QFile::exists(cacheFile));

        QVERIFY(client.click(pixelsOf(client.screenshot(), SignOutButton).boundingRect().center()));
        QTRY_VERIFY_WITH_TIMEOUT(client.showsLoginPage(), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: Sample dashboard closed")),
                                 Timeout);
        // The dashboard's connection is the only one that closes.
        QTRY_COMPARE_WITH_TIMEOUT(broker.logCount(disconnect), before + 1, Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cacheFile), Timeout);
        QVERIFY(sessionValue(QStringLiteral("refreshToken")).toString().isEmpty());
        QCOMPARE(client.process().state(), QProcess::Running);
    }

    // A dashboard's download fails and its box blocks the message handler that started it; the
    // dashboard's sign-out, sent meanwhile, comes once the box is closed. The program lives on,
    // back on the login page, the cache gone.
    void dashboardSignsOutAfterItsBox()
    {
        QVERIFY(backend.publish(Email, buildDashboardBundle(kTrapDashboardQml)));

        signIn(Password);
        QTRY_VERIFY2_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: Trap dashboard loaded")),
                                  client.log().constData(), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(broker.subscriptions(".+").contains(TrapTopic), Timeout);
        QVERIFY(QFile::exists(cacheFile));
        QVERIFY(broker.publish(TrapTopic, "download"));
        QVERIFY2(!client.findWindow(DownloadBox).isEmpty(), client.log().constData());
        QVERIFY(broker.publish(TrapTopic, "signout"));

        // The open box, then the one for the download started from inside the sign-out.
        const auto answerBoxes = [this] {
            const QString box = client.findWindow(DownloadBox, false);
            return box.isEmpty() ? client.showsLoginPage() : (client.clickOk(box), false);
        };
        QTRY_VERIFY_WITH_TIMEOUT(answerBoxes(), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(clientLogged(QStringLiteral("qml: Trap dashboard closed")),
                                 Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cacheFile), Timeout);
        QCOMPARE(client.process().state(), QProcess::Running);
    }

    void logsHoldNoSecrets()
    {
        QCOMPARE(secrets.size(), 6);
        for (const QByteArray &log : {client.log(), backend.log()}) {
            QVERIFY(!log.isEmpty());
            for (const QByteArray &secret : std::as_const(secrets))
                QVERIFY(!log.contains(secret));
        }
    }
};

QTEST_GUILESS_MAIN(UserJourneyTest)
#include "tst_user_journey.moc"
