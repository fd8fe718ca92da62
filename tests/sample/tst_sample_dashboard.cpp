// The sample dashboard from its real bundle, shown with the client's own manager and mqttClient:
// readings reach their cards, the connection badge follows a broker restart, and the dashboard
// reaches the broker of "scripts/dev_stack start --tls" through TLS.
#include <QAccessible>
#include <QMap>
#include <QProcess>
#include <QQmlComponent>
#include <QQuickItem>
#include <QQuickWindow>
#include <QResource>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "support/client_ui.h"
#include "support/mosquitto_broker.h"
#include "support/processes.h"
#include "support/sandbox.h"
#include "support/waits.h"
#include "viewmodel/viewmodel.h"

namespace {
const QString TopicRoot = QStringLiteral("corvalen/demo/");
const QByteArrayList BrokerKeys = {"CORVALEN_MQTT_HOST", "CORVALEN_MQTT_PORT",
                                   "CORVALEN_MQTT_TLS_CA_FILE"};

// The client's objects wired as at start-up, and the dashboard as the main page creates it,
// which goes first.
struct Client
{
    ClientUi ui;
    std::unique_ptr<QObject> dashboard;

    bool has(const char *method) const { return ui.mqtt.metaObject()->indexOfMethod(method) >= 0; }
    bool show()
    {
        QQmlComponent component(&ui.engine, QUrl(QStringLiteral("qrc:/external/dashboard.qml")));
        dashboard.reset(component.create());
        if (!dashboard) {
            qWarning().noquote() << component.errorString();
            return false;
        }
        // The size of the window at the usual screen size; narrower ones get short texts.
        return dashboard->setProperty("width", 1280) && dashboard->setProperty("height", 800);
    }
    QVariant read(const QString &object, const QByteArray &property) const
    {
        const QObject *item = dashboard->findChild<QObject *>(object);
        return item ? item->property(property.constData()) : QVariant();
    }
    QString badge() const { return read(QStringLiteral("connectionBadge"), "text").toString(); }
};
} // namespace

class SampleDashboardTest : public QObject
{
    Q_OBJECT

    Sandbox home; // the view model's settings, never the user's
    QTemporaryDir stackDir;
    // Holds the TLS stack of scripts/dev_stack until its standard input closes, which happens
    // when this test ends, even when it is killed.
    QProcess stack;
    MosquittoBroker broker;
    QMap<QByteArray, QString> stackEnv; // the client.env of the TLS stack

    QString live() const { return QStringLiteral("Live · 127.0.0.1:%1").arg(broker.port()); }
    bool startStack()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("CORVALEN_BUILD_DIR"), QStringLiteral(CORVALEN_BUILD_DIR));
        env.insert(QStringLiteral("CORVALEN_RUN_DIR"), stackDir.path());
        stack.setProcessEnvironment(env);
        stack.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        stack.start(QStringLiteral("bash"),
                    {"-c",
                     "source \"$1\" || exit 1; trap stack_stop EXIT; trap 'exit 0' TERM INT HUP;"
                     "stack_start --tls || exit 1; echo ready; read -r _ || true",
                     "stack", QStringLiteral(CORVALEN_DEV_STACK)});
        const auto answered = [&] {
            return stack.canReadLine() || stack.state() == QProcess::NotRunning;
        };
        return QTest::qWaitFor(answered, kWait) && stack.readLine() == "ready\n";
    }
    // A message published before the broker has the dashboard's subscription would be lost.
    bool publishOnceSubscribed(int subscriptionsBefore, const QString &topic,
                               const QByteArray &payload) const
    {
        return QTest::qWaitFor(
                   [&] { return broker.subscriptions(".+").count(topic) > subscriptionsBefore; },
                   kWait) &&
               broker.publish(topic, payload);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QResource::registerResource(QStringLiteral(SAMPLE_DASHBOARD_RCC)));
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));

        QVERIFY(startStack());
        QFile envFile(stackDir.filePath(QStringLiteral("client.env")));
        QVERIFY(envFile.open(QIODevice::ReadOnly));
        for (const QByteArray &line : envFile.readAll().split('\n'))
            if (const qsizetype at = line.indexOf('='); line.startsWith("CORVALEN_") && at > 0)
                stackEnv[line.left(at)] = QString::fromUtf8(line.mid(at + 1));
        QVERIFY(QFile::exists(stackEnv.value("CORVALEN_MQTT_TLS_CA_FILE")));
    }

    void cleanupTestCase()
    {
        stack.closeWriteChannel();
        QVERIFY(stack.waitForFinished(kWait));
    }

    void init()
    {
        for (const QByteArray &key : BrokerKeys)
            qunsetenv(key.constData());
        qputenv("CORVALEN_MQTT_HOST", broker.host().toUtf8());
        qputenv("CORVALEN_MQTT_PORT", QByteArray::number(broker.port()));
    }

    void readingReachesItsCard_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("card");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("shown");
        const auto row = [](const char *name, const char *topic, const QByteArray &payload,
                            const char *card, const QByteArray &property, const QVariant &shown) {
            QTest::newRow(name) << topic << payload << card << property << shown;
        };
        row("temperature, one decimal", "temperature", "21.46", "temperatureCard", "valueText",
            "21.5");
        row("humidity, whole percent", "humidity", "44.6", "humidityCard", "valueText", "45");
        row("not a number, as sent", "temperature", "sensor fault", "temperatureCard", "valueText",
            "sensor fault");
        row("fan on, any case and blanks", "fan", " ON\n", "fanCard", "running", true);
        row("fan off", "fan", "off", "fanCard", "fanState", "off");
    }

    void readingReachesItsCard()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(QString, card);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, shown);
        const int subscribed = broker.subscriptions(".+").count(TopicRoot + topic);

        Client client;
        QVERIFY(client.show());
        QTRY_COMPARE_WITH_TIMEOUT(client.badge(), live(), kWait);
        QVERIFY(publishOnceSubscribed(subscribed, TopicRoot + topic, payload));
        QTRY_COMPARE_WITH_TIMEOUT(client.read(card, property), shown, kWait);
    }

    // Tab reaches the dashboard's buttons in reading order, a screen reader names them, and
    // the keys press them: dashboard authors copy from here.
    void buttonsWorkedFromTheKeyboard()
    {
        Client client;
        QVERIFY(client.show());
        QTRY_COMPARE_WITH_TIMEOUT(client.badge(), live(), kWait);
        QQuickWindow window;
        window.resize(1280, 800);
        qobject_cast<QQuickItem *>(client.dashboard.get())->setParentItem(window.contentItem());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const auto focusedName = [&] {
            QAccessibleInterface *focused =
                QAccessible::queryAccessibleInterface(window.activeFocusItem());
            return focused ? focused->text(QAccessible::Name) : QString();
        };
        QStringList names;
        for (int i = 0; i < 2; ++i) {
            QTest::keyClick(&window, Qt::Key_Tab);
            names << focusedName();
        }
        QCOMPARE(names, (QStringList{"Sign out", "Turn fan on"}));

        // The request goes out at once; the broker's echo, which reports the new state, may come
        // back before the key click returns, so the state is what the test reads.
        QTest::keyClick(&window, Qt::Key_Space);
        QTRY_COMPARE_WITH_TIMEOUT(client.read("fanCard", "fanState"), QVariant("on"), kWait);
        QSignalSpy signedOut(&client.ui.viewModel, &ViewModel::signOutUser);
        QTest::keyClick(&window, Qt::Key_Backtab, Qt::ShiftModifier);
        QTest::keyClick(&window, Qt::Key_Return);
        QCOMPARE(signedOut.size(), 1);
    }

    void brokerPortDefaults_data()
    {
        QTest::addColumn<QByteArray>("tls");
        QTest::addColumn<int>("port");
        QTest::newRow("plain") << QByteArray() << 1883;
        QTest::newRow("TLS") << QByteArray("yes") << 8883;
    }
    void brokerPortDefaults()
    {
        QFETCH(QByteArray, tls);
        QFETCH(int, port);
        qunsetenv("CORVALEN_MQTT_PORT");
        qputenv("CORVALEN_MQTT_TLS", tls);
        Client client;
        const bool shown = client.show();
        qunsetenv("CORVALEN_MQTT_TLS");
        QVERIFY(shown);
        QCOMPARE(client.read("brokerLink", "port"), QVariant(port));
    }

    void badgeCountsDownAndDashboardReconnects()
    {
        Client client;
        if (!client.has("SetAutoReconnect(bool)"))
            QSKIP("This client does not reconnect by itself");
        const QString topic = TopicRoot + QStringLiteral("temperature");
        QVERIFY(client.show());
        QTRY_COMPARE_WITH_TIMEOUT(client.badge(), live(), kWait);

        broker.stop();
        QTRY_VERIFY_WITH_TIMEOUT(client.badge().startsWith("Offline · reconnecting in "), kWait);
        const int subscribed = broker.subscriptions(".+").count(topic);
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(client.badge(), live(), kWait);
        QVERIFY(publishOnceSubscribed(subscribed, topic, "19.0"));
        QTRY_COMPARE_WITH_TIMEOUT(client.read("temperatureCard", "valueText"), QVariant("19.0"),
                                  kWait);
    }

    void stackBrokerVerifiedWithItsCa_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("by address") << "127.0.0.1";
        QTest::newRow("by name") << "localhost";
    }

    void stackBrokerVerifiedWithItsCa()
    {
        QFETCH(QString, host);
        // The demo publisher reaches the broker through TLS too, so a reading comes.
        const ToolResult reading =
            runTool("mosquitto_sub", {"-h", host, "-p", stackEnv.value("CORVALEN_MQTT_PORT"),
                                      "--cafile", stackEnv.value("CORVALEN_MQTT_TLS_CA_FILE"), "-t",
                                      TopicRoot + "temperature", "-C", "1", "-W", "30"});
        QVERIFY2(reading.ok(), reading.err.constData());
        bool number = false;
        reading.out.trimmed().toDouble(&number);
        QVERIFY2(number, reading.out.constData());
    }

    // The stack publishes its dashboard signed and gives the client the public key: a client
    // set up from its client.env signs in and gets the dashboard through the signature check.
    void stackDashboardLoadsSigned()
    {
        const QByteArrayList keys = {"CORVALEN_AUTH_BASE_URL", "CORVALEN_BUNDLE_PUBLIC_KEY"};
        const auto unset = qScopeGuard([&] {
            for (const QByteArray &key : keys)
                qunsetenv(key.constData());
        });
        for (const QByteArray &key : keys) {
            QVERIFY(!stackEnv.value(key).isEmpty());
            qputenv(key.constData(), stackEnv.value(key).toUtf8());
        }
        ViewModel viewModel;
        QSignalSpy loads(&viewModel, &ViewModel::externalResourceLoadFinished);
        viewModel.logUserIn(QStringLiteral("demo@corvalen.example"),
                            QStringLiteral("corvalen-demo"));
        QTRY_VERIFY_WITH_TIMEOUT(!viewModel.currentUserId().isEmpty(), kWait);
        QVERIFY(viewModel.resolveAndDownloadExternalResourceForCurrentUser());
        QTRY_COMPARE_WITH_TIMEOUT(loads.count(), 1, kWait);
        QCOMPARE(loads.at(0), (QVariantList{true, QStringLiteral("External resource loaded.")}));
    }

    void dashboardReachesStackThroughTls()
    {
        Client client;
        if (!client.has("SetTls(bool,QString)"))
            QSKIP("This client has no TLS");
        for (const QByteArray &key : BrokerKeys)
            qputenv(key.constData(), stackEnv.value(key).toUtf8());
        QVERIFY(client.show());
        QTRY_COMPARE_WITH_TIMEOUT(
            client.badge(),
            QStringLiteral("Live · 127.0.0.1:%1 · TLS").arg(stackEnv.value("CORVALEN_MQTT_PORT")),
            kWait);
        QTRY_VERIFY_WITH_TIMEOUT(client.read("temperatureCard", "valueText") != QVariant("--"),
                                 kWait);
    }
};

QTEST_MAIN(SampleDashboardTest)
#include "tst_sample_dashboard.moc"
