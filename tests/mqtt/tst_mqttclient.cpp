#include <QDeadlineTimer>
#include <QHostInfo>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <sys/resource.h>

#include "mqtt/mqttclient.h"
#include "support/mosquitto_broker.h"
#include "viewmodel/viewmodel.h"

namespace {
constexpr int Timeout = 10000;
const char *const NamespaceEnv = "CORVALEN_MQTT_HOSTS_NAMESPACE";
const QString TwoAddressName = QStringLiteral("two.failover.test");
const QString FailedAttempt = QStringLiteral("^(DISCONNECTED |Could not connect to MQTT broker: )");

// Records every log line (still forwarding it) so tests can check the client's exact lines.
class LogCapture
{
public:
    LogCapture() : previous(qInstallMessageHandler(&LogCapture::handler)) { current = this; }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker lock(&mutex);
        return recorded;
    }
    int count(const QString &line) const { return int(lines().count(line)); }
    int matching(const QString &pattern) const
    {
        return int(lines().filter(QRegularExpression(pattern)).size());
    }
    QList<int> states() const // numbers of the "<date>: State Change<N>\n" lines
    {
        static const QRegularExpression stateLine(
            QStringLiteral("^\"[^\"]+: State Change(\\d)\\\\n\"$"));
        QList<int> numbers;
        for (const QString &line : lines())
            if (const auto match = stateLine.match(line); match.hasMatch())
                numbers.append(match.captured(1).toInt());
        return numbers;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
    {
        {
            QMutexLocker lock(&current->mutex);
            current->recorded.append(msg);
        }
        current->previous(type, context, msg);
    }
    static inline LogCapture *current = nullptr;
    QtMessageHandler previous;
    mutable QMutex mutex;
    QStringList recorded;
};

// Topics the broker accepted from a client id, in order, over all its connections.
QStringList subscriptions(const MosquittoBroker &broker, const QString &clientId)
{
    QStringList topics;
    const QString prefix = clientId + QStringLiteral(" 0 "); // "<id> <qos> <topic>"
    for (const QString &line : broker.logLines())
        if (line.startsWith(prefix))
            topics.append(line.mid(prefix.size()));
    return topics;
}

qint64 processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}
} // namespace

class TestMqttClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();
    void cleanup();

    void subscriptionsFollowTopicRules();
    void deliversMessages_data();
    void deliversMessages();
    void publishOutsideConnectionIsDropped_data();
    void publishOutsideConnectionIsDropped();
    void credentials_data();
    void credentials();
    void connectAttemptFails_data();
    void connectAttemptFails();
    void brokerKilledWhileConnected();
    void pendingConnectRequest_data();
    void pendingConnectRequest();
    void disconnectInMessageSlotDropsRestOfBatch();
    void reconfigureInConnectedSlot();
    void closingSendsDisconnect_data();
    void closingSendsDisconnect();
    void invalidConfigurationKeepsConnection_data();
    void invalidConfigurationKeepsConnection();
    void facadeReconfiguresWhileConnected();
    void hostsNamespace();
    void inHostsNamespace_data();
    void inHostsNamespace(); // run by hostsNamespace() in a child process

private:
    // A client with this test's id, connected through `manager` when given, topics acknowledged.
    std::unique_ptr<MqttClient> connectedClient(const QStringList &topics,
                                                ViewModel *manager = nullptr);

    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<LogCapture> logs;
    QString id;
};

void TestMqttClient::init()
{
    static int counter = 0;
    id = QStringLiteral("c%1x").arg(++counter);
    broker = std::make_unique<MosquittoBroker>();
    logs = std::make_unique<LogCapture>();
    if (!qEnvironmentVariableIsSet(NamespaceEnv))
        QVERIFY2(broker->start(), qPrintable(broker->errorString()));
}

void TestMqttClient::cleanup()
{
    logs.reset();
    broker.reset();
}

std::unique_ptr<MqttClient> TestMqttClient::connectedClient(const QStringList &topics,
                                                            ViewModel *manager)
{
    auto client = std::make_unique<MqttClient>();
    client->SetClientId(id);
    client->SetUserName(QStringLiteral("dash"));
    QSignalSpy connected(client.get(), &MqttClient::connectedChanged);
    if (manager)
        manager->setMqttClient(client.get());
    const bool started = manager
                             ? manager->configureDashboardMqtt(broker->host(), broker->port(),
                                                               QVariant(topics).toList())
                             : client->ConfigureAndConnect(broker->host(), broker->port(), topics);
    if (!started || !connected.wait(Timeout))
        return nullptr;
    QDeadlineTimer deadline(Timeout);
    while (subscriptions(*broker, id).size() < topics.size() && !deadline.hasExpired())
        QTest::qWait(10);
    return client;
}

void TestMqttClient::subscriptionsFollowTopicRules()
{
    MqttClient client;
    client.SetHostName(broker->host());
    client.SetPort(broker->port());
    for (const char *topic : {" a/b ", "a/b", "A/B", "", "   ", "bad/#/x", "r/#"})
        client.AddSubscriptionToTopic(QString::fromUtf8(topic));
    QCOMPARE(logs->lines(), QStringList()); // nothing is logged while disconnected

    QSignalSpy connected(&client, &MqttClient::connectedChanged);
    client.Connect();
    QVERIFY(connected.wait(Timeout));
    QCOMPARE(logs->states(), (QList<int>{1, 2, 3}));
    QCOMPARE(logs->count(QStringLiteral("Could not subscribe to topic: \"bad/#/x\"")), 1);

    // Without a configured id every attempt uses 23 fresh lowercase hex characters.
    auto clientIds = [&] {
        QStringList ids;
        static const QRegularExpression line(QStringLiteral(
            R"(^New client connected from \S+ as ([0-9a-f]{23}) \(p2, c1, k60\)\.$)"));
        for (const QString &l : broker->logLines())
            if (const auto match = line.match(l); match.hasMatch())
                ids.append(match.captured(1));
        return ids;
    };
    QTRY_COMPARE_WITH_TIMEOUT(clientIds().size(), 1, Timeout);
    const QString firstId = clientIds().at(0);
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, firstId), (QStringList{"a/b", "A/B", "r/#"}),
                              Timeout);
    client.AddSubscriptionToTopic(QStringLiteral(" c/d "));
    client.AddSubscriptionToTopic(QStringLiteral("c/d"));
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, firstId),
                              (QStringList{"a/b", "A/B", "r/#", "c/d"}), Timeout);

    // After a reconnect (with a topic added while resolving) the whole list is subscribed again.
    client.Disconnect();
    client.Connect();
    client.AddSubscriptionToTopic(QStringLiteral("e/f"));
    QVERIFY(connected.wait(Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(clientIds().size(), 2, Timeout);
    QVERIFY(clientIds().at(1) != firstId);
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, clientIds().at(1)),
                              (QStringList{"a/b", "A/B", "r/#", "c/d", "e/f"}), Timeout);
    QCOMPARE(logs->count(QStringLiteral("Could not subscribe to topic: \"bad/#/x\"")), 2);
    QCOMPARE(broker->logCount(QStringLiteral("UNSUBSCRIBE")), 0);
}

void TestMqttClient::deliversMessages_data()
{
    QTest::addColumn<QString>("source"); // external, retained or own
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("expectedLog");

    QTest::newRow("external") << "external" << QByteArray("w\xc3\xb6rld") << "w\u00f6rld"
                              << R"("in/t"  Message:  "w\xC3\xB6rld")";
    QTest::newRow("external empty") << "external" << QByteArray() << ""
                                    << R"("in/t"  Message:  "")";
    QTest::newRow("invalid utf-8") << "external" << QByteArray("\xff\xfez") << "\ufffd\ufffdz"
                                   << R"("in/t"  Message:  "\xFF\xFEz")";
    QTest::newRow("retained") << "retained" << QByteArray("kept") << "kept"
                              << R"("in/t"  Message:  "kept")";
    QTest::newRow("own") << "own" << QByteArray("mine") << "mine"
                         << R"("in/t"  Message:  "mine")";
    QTest::newRow("own empty") << "own" << QByteArray() << ""
                               << R"("in/t"  Message:  "")";
}

void TestMqttClient::deliversMessages()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    QFETCH(QString, expectedLog);

    if (source == QLatin1String("retained"))
        QVERIFY(broker->publish(QStringLiteral("in/t"), payload, {QStringLiteral("-r")}));
    auto client = connectedClient({QStringLiteral("in/t")});
    QVERIFY(client);
    QSignalSpy received(client.get(), &MqttClient::messageReceived);
    if (source == QLatin1String("external"))
        QVERIFY(broker->publish(QStringLiteral("in/t"), payload));
    if (source == QLatin1String("own"))
        client->PublishToTopic(QStringLiteral("in/t"), QString::fromUtf8(payload));

    QVERIFY(received.wait(Timeout));
    QCOMPARE(received.at(0), (QVariantList{QStringLiteral("in/t"), expected}));
    QCOMPARE(logs->count(expectedLog), 1);
    if (source == QLatin1String("own")) // QoS 0, no retain, exactly the UTF-8 bytes
        QCOMPARE(broker->logCount(QStringLiteral("Received PUBLISH from %1 (d0, q0, r0, m0, "
                                                 "'in/t', ... (%2 bytes))")
                                      .arg(id)
                                      .arg(payload.size())),
                 1);
}

void TestMqttClient::publishOutsideConnectionIsDropped_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<QString>("topic");
    QTest::newRow("disconnected") << "disconnected"
                                  << "in/t";
    QTest::newRow("connecting") << "connecting"
                                << "in/t";
    QTest::newRow("connected, wildcard topic") << "connected"
                                               << "in/#";
}

void TestMqttClient::publishOutsideConnectionIsDropped()
{
    QFETCH(QString, when);
    QFETCH(QString, topic);

    MqttClient client;
    client.SetClientId(id);
    QSignalSpy received(&client, &MqttClient::messageReceived);
    QSignalSpy connected(&client, &MqttClient::connectedChanged);
    auto publishIf = [&](const char *state) {
        if (when == QLatin1String(state))
            client.PublishToTopic(topic, QStringLiteral("early"));
    };

    publishIf("disconnected");
    if (when == QLatin1String("connecting"))
        broker->pause(); // the TCP connect completes, the CONNACK waits
    QVERIFY(client.ConfigureAndConnect(broker->host(), broker->port(), {QStringLiteral("in/t")}));
    if (when == QLatin1String("connecting")) {
        QTRY_COMPARE_WITH_TIMEOUT(logs->states(), (QList<int>{1, 2}), Timeout);
        publishIf("connecting");
        broker->resume();
    }
    QVERIFY(connected.wait(Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, id).size(), 1, Timeout);
    publishIf("connected");
    QCOMPARE(logs->count(QStringLiteral("Could not publish message")), 1);

    // Messages keep their order: once the marker is back, nothing published before can follow.
    client.PublishToTopic(QStringLiteral("in/t"), QStringLiteral("marker"));
    QVERIFY(received.wait(Timeout));
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.at(0).at(1).toString(), QStringLiteral("marker"));
    QCOMPARE(broker->logCount("Received PUBLISH from " + id), 1);
}

void TestMqttClient::credentials_data()
{
    QTest::addColumn<bool>("passwordFile");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("brokerSees"); // end of the broker's line; empty: refused

    QTest::newRow("right credentials") << true << "alice"
                                       << "s3cret"
                                       << "k60, u'alice').";
    QTest::newRow("wrong password") << true << "alice"
                                    << "wrong"
                                    << "";
    QTest::newRow("password without user name") << false << ""
                                                << "s3cret"
                                                << "k60).";
    QTest::newRow("user name without password") << false << "bob"
                                                << ""
                                                << "k60, u'bob').";
}

void TestMqttClient::credentials()
{
    QFETCH(bool, passwordFile);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, brokerSees);

    if (passwordFile) {
        broker->stop();
        broker->addUser(QStringLiteral("alice"), QStringLiteral("s3cret"));
        QVERIFY2(broker->start(), qPrintable(broker->errorString()));
    }
    MqttClient client;
    client.SetClientId(id);
    client.SetUserName(user);
    client.SetPassword(password);
    QSignalSpy connected(&client, &MqttClient::connectedChanged);
    QVERIFY(client.ConfigureAndConnect(broker->host(), broker->port(), {}));

    if (!brokerSees.isEmpty()) {
        QVERIFY(connected.wait(Timeout));
        QTRY_COMPARE_WITH_TIMEOUT(broker->logCount(" as " + id + " (p2, c1, " + brokerSees), 1,
                                  Timeout);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(logs->states(), (QList<int>{1, 2, 0}), Timeout);
    QCOMPARE(connected.size(), 0);
    QCOMPARE(logs->count("MQTT connection refused: Connection Refused: not authorised."), 1);
    QCOMPARE(logs->count("DISCONNECTED The connection was refused."), 1);
}

void TestMqttClient::connectAttemptFails_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<qint64>("port"); // -1: the port of a broker that has gone away
    QTest::addColumn<QString>("expectedLog");

    QTest::newRow("no host name") << "" << qint64(1883)
                                  << "^Could not connect to MQTT broker: host name is not set$";
    QTest::newRow("malformed host name") << "bad..name.invalid" << qint64(1883)
                                         << R"(^Could not resolve MQTT broker host: "Invalid)";
    QTest::newRow("port above 65535")
        << "127.0.0.1" << qint64(65536)
        << "^Could not connect to MQTT broker: Invalid function arguments provided.$";
    QTest::newRow("nothing listening") << "127.0.0.1" << qint64(-1) << FailedAttempt;
}

void TestMqttClient::connectAttemptFails()
{
    QFETCH(QString, host);
    QFETCH(qint64, port);
    QFETCH(QString, expectedLog);
    if (port < 0) {
        port = broker->port();
        broker->stop();
    }

    MqttClient client;
    QSignalSpy connected(&client, &MqttClient::connectedChanged);
    client.SetHostName(host);
    client.SetPort(uint(port));
    client.Connect();
    if (!host.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(logs->states().endsWith(0), Timeout);
    QCOMPARE(logs->states().count(0), host.isEmpty() ? 0 : 1);
    QCOMPARE(logs->matching(expectedLog), 1);
    QCOMPARE(connected.size(), 0);
}

void TestMqttClient::brokerKilledWhileConnected()
{
    auto client = connectedClient({QStringLiteral("k/t")});
    QVERIFY(client);
    QStringList linesAtSignal;
    connect(client.get(), &MqttClient::connectedChanged, this, [&](bool isConnected) {
        if (!isConnected)
            linesAtSignal = logs->lines();
    });
    QSignalSpy connected(client.get(), &MqttClient::connectedChanged);
    broker->kill();
    QVERIFY(connected.wait(Timeout));

    // Logged and signalled from the same Pump, one right after the other.
    QVERIFY(linesAtSignal.size() >= 2);
    QCOMPARE(linesAtSignal.at(linesAtSignal.size() - 2), "DISCONNECTED The connection was lost.");
    QVERIFY(linesAtSignal.last().endsWith(QStringLiteral(": State Change0\\n\"")));

    // A notifier left on the dead, soon reused descriptor would spin the event loop. The window
    // is a measurement period, not a wait for something to happen.
    const qint64 cpuBefore = processCpuMs();
    QTest::qWait(3000);
    const qint64 cpuUsed = processCpuMs() - cpuBefore;
    QVERIFY2(cpuUsed < 600, qPrintable(QStringLiteral("%1 ms CPU in 3 s").arg(cpuUsed)));
    QCOMPARE(logs->states(), (QList<int>{1, 2, 3, 0}));

    QVERIFY2(broker->start(), qPrintable(broker->errorString()));
    client->Connect();
    QVERIFY(connected.wait(Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, id).size(), 2, Timeout);
}

void TestMqttClient::pendingConnectRequest_data()
{
    QTest::addColumn<bool>("whileResolving"); // else while connected
    QTest::addColumn<bool>("disconnect");
    QTest::newRow("while resolving, honoured after the loss") << true << false;
    QTest::newRow("while connected, honoured after the loss") << false << false;
    QTest::newRow("while connected, cancelled by Disconnect") << false << true;
}

void TestMqttClient::pendingConnectRequest()
{
    QFETCH(bool, whileResolving);
    QFETCH(bool, disconnect);

    MqttClient client;
    QSignalSpy connected(&client, &MqttClient::connectedChanged);
    client.SetHostName(broker->host());
    client.SetPort(broker->port());
    client.Connect();
    if (whileResolving)
        client.Connect();
    QVERIFY(connected.wait(Timeout));
    if (!whileResolving)
        client.Connect();
    QCOMPARE(logs->states(), (QList<int>{1, 2, 3}));

    if (disconnect) {
        client.Disconnect();
        QCOMPARE(logs->states(), (QList<int>{1, 2, 3, 0}));
        return;
    }
    // Back at Disconnected the waiting request starts a new lookup at once; that attempt fails
    // because the broker is gone, and nothing else follows.
    broker->stop();
    QVERIFY(connected.wait(Timeout));
    QCOMPARE(logs->states(), (QList<int>{1, 2, 3, 0, 1}));
    QTRY_VERIFY_WITH_TIMEOUT(logs->states().size() > 5 && logs->states().endsWith(0), Timeout);
    QCOMPARE(logs->states().count(1), 2);
}

void TestMqttClient::disconnectInMessageSlotDropsRestOfBatch()
{
    auto client = connectedClient({QStringLiteral("b/t")});
    QVERIFY(client);
    QStringList delivered;
    connect(client.get(), &MqttClient::messageReceived, this,
            [&](const QString &, const QString &message) {
                delivered.append(message);
                client->Disconnect();
            });

    // All messages must sit in our socket before the event loop runs again, so that one Pump
    // reads them together: the broker's log is polled here without processing events.
    QVERIFY(broker->publishEach(QStringLiteral("b/t"), {"0", "1", "2", "3", "4", "5", "6", "7"}));
    QDeadlineTimer deadline(Timeout);
    while (broker->logCount("Sending PUBLISH to " + id) < 8 && !deadline.hasExpired())
        QThread::msleep(5);

    QTRY_VERIFY_WITH_TIMEOUT(broker->logContains("Received DISCONNECT from " + id), Timeout);
    QCOMPARE(delivered, QStringList{"0"});
    QCOMPARE(logs->matching(QStringLiteral("Message: ")), 1);
}

void TestMqttClient::reconfigureInConnectedSlot()
{
    MqttClient client;
    client.SetClientId(id);
    QList<bool> changes;
    connect(&client, &MqttClient::connectedChanged, this, [&](bool isConnected) {
        changes.append(isConnected);
        if (changes.size() == 1)
            client.ConfigureAndConnect(broker->host(), broker->port(), {QStringLiteral("new")});
    });
    QVERIFY(client.ConfigureAndConnect(broker->host(), broker->port(), {QStringLiteral("old")}));
    QTRY_COMPARE_WITH_TIMEOUT(changes, (QList<bool>{true, false, true}), Timeout);
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, id), QStringList{"new"}, Timeout);
    QCOMPARE(broker->logCount("Received DISCONNECT from " + id), 1);
}

void TestMqttClient::closingSendsDisconnect_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("publishFirst");
    QTest::newRow("Disconnect") << "Disconnect" << false;
    QTest::newRow("Disconnect after a publish") << "Disconnect" << true;
    QTest::newRow("destruction") << "delete" << false;
    QTest::newRow("destruction after a publish") << "delete" << true;
    QTest::newRow("disconnectDashboardMqtt") << "disconnectDashboardMqtt" << false;
    QTest::newRow("sign-out") << "logUserOut" << false;
}

void TestMqttClient::closingSendsDisconnect()
{
    QFETCH(QString, how);
    QFETCH(bool, publishFirst);

    ViewModel manager;
    auto client = connectedClient({QStringLiteral("t/1")}, &manager);
    QVERIFY(client);
    QSignalSpy connected(client.get(), &MqttClient::connectedChanged);
    if (publishFirst) {
        // Unread input makes the close a reset, which the broker must not act on before it has
        // read our queued publish and the DISCONNECT. Nothing processes events here, so the
        // incoming message stays unread; the pause lets it settle in our socket (without it the
        // reset rarely wins the race) and is not a wait for anything to happen.
        QVERIFY(broker->publish(QStringLiteral("t/1"), "incoming"));
        QDeadlineTimer deadline(Timeout);
        while (!broker->logContains("Sending PUBLISH to " + id) && !deadline.hasExpired())
            QThread::msleep(5);
        QThread::msleep(200);
        client->PublishToTopic(QStringLiteral("last/words"), QStringLiteral("bye"));
    }
    if (how == QLatin1String("delete"))
        client.reset();
    else if (how == QLatin1String("Disconnect"))
        client->Disconnect();
    else
        QVERIFY(QMetaObject::invokeMethod(&manager, qPrintable(how)));

    QCOMPARE(connected.size(), client ? 1 : 0);
    QCOMPARE(logs->states(), (QList<int>{1, 2, 3, 0}));
    QTRY_VERIFY_WITH_TIMEOUT(broker->logContains("Received DISCONNECT from " + id), Timeout);
    QCOMPARE(broker->logCount("Received PUBLISH from " + id), publishFirst ? 1 : 0);
    if (how == QLatin1String("delete"))
        return;

    // Host, port and credentials stay; the facade's teardown also forgets the topics.
    client->Connect();
    QVERIFY(connected.wait(Timeout));
    QCOMPARE(broker->logCount("u'dash')."), 2);
    // Subscriptions follow the CONNACK at once, so one added now shows whether any came before.
    client->AddSubscriptionToTopic(QStringLiteral("marker"));
    const QStringList expected = how == QLatin1String("Disconnect")
                                     ? QStringList{"t/1", "t/1", "marker"}
                                     : QStringList{"t/1", "marker"};
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, id), expected, Timeout);
}

void TestMqttClient::invalidConfigurationKeepsConnection_data()
{
    QTest::addColumn<bool>("throughFacade");
    QTest::addColumn<QString>("host"); // empty: the broker's address
    QTest::addColumn<qint64>("port");  // -1: the broker's port
    QTest::addColumn<QString>("expectedLog");

    QTest::newRow("facade, port 0") << true << "" << qint64(0) << "Invalid MQTT port: 0";
    QTest::newRow("facade, port 65536")
        << true << "" << qint64(65536) << "Invalid MQTT port: 65536";
    QTest::newRow("facade, blank host")
        << true << " \t " << qint64(-1) << "Invalid MQTT connection configuration \"\" PORT";
    QTest::newRow("client, port 0") << false << " 127.0.0.1 " << qint64(0)
                                    << "Invalid MQTT connection configuration \"127.0.0.1\" 0";
}

void TestMqttClient::invalidConfigurationKeepsConnection()
{
    QFETCH(bool, throughFacade);
    QFETCH(QString, host);
    QFETCH(qint64, port);
    QFETCH(QString, expectedLog);
    host = host.isEmpty() ? broker->host() : host;
    port = port < 0 ? broker->port() : port;
    expectedLog.replace(QLatin1String("PORT"), QString::number(broker->port()));

    ViewModel manager;
    auto client = connectedClient({QStringLiteral("keep")}, &manager);
    QVERIFY(client);
    QSignalSpy connected(client.get(), &MqttClient::connectedChanged);
    const int linesBefore = int(logs->lines().size());
    QVERIFY(throughFacade ? !manager.configureDashboardMqtt(host, int(port), {"other"})
                          : !client->ConfigureAndConnect(host, uint(port), {"other"}));
    QCOMPARE(logs->lines().mid(linesBefore), QStringList{expectedLog});
    QVERIFY(client->isConnected());

    // Host, port and topics are untouched: a reconnect reaches the same broker with the old list.
    client->Disconnect();
    client->Connect();
    QVERIFY(connected.wait(Timeout));
    QCOMPARE(connected.size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, id), (QStringList{"keep", "keep"}), Timeout);
}

void TestMqttClient::facadeReconfiguresWhileConnected()
{
    ViewModel manager;
    auto client = connectedClient({QStringLiteral("old")}, &manager);
    QVERIFY(client);
    QSignalSpy connected(client.get(), &MqttClient::connectedChanged);

    // Blanks are dropped by the facade, duplicates by the client; other values become text.
    const QVariantList topics{"new/a", " new/b ", "", "  ", "new/a", "new/b", 42};
    QVERIFY(manager.configureDashboardMqtt(" " + broker->host(), broker->port(), topics));
    // The old connection is closed with DISCONNECT and a new lookup starts within the call.
    QCOMPARE(connected.size(), 1);
    QCOMPARE(logs->states(), (QList<int>{1, 2, 3, 0, 1}));
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, Timeout);
    QTRY_COMPARE_WITH_TIMEOUT(subscriptions(*broker, id),
                              (QStringList{"old", "new/a", "new/b", "42"}), Timeout);
    QCOMPARE(broker->logCount("Received DISCONNECT from " + id), 1);
    QCOMPARE(broker->logCount(QStringLiteral("UNSUBSCRIBE")), 0);
}

void TestMqttClient::hostsNamespace()
{
    // A private mount namespace gives a name two loopback addresses and makes lookups files-only,
    // so that nothing leaves the machine; inHostsNamespace() runs there in a child process.
    QTemporaryDir dir;
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(NamespaceEnv), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(QStringLiteral("unshare"),
                {"-m", "sh", "-c",
                 QStringLiteral("printf '127.0.0.1 localhost\\n127.0.0.2 %1\\n127.0.0.1 %1\\n' "
                                ">\"$1/hosts\" && echo 'hosts: files' >\"$1/nss\" && "
                                "mount --bind \"$1/hosts\" /etc/hosts && "
                                "mount --bind \"$1/nss\" /etc/nsswitch.conf && "
                                "exec \"$0\" inHostsNamespace")
                     .arg(TwoAddressName),
                 QCoreApplication::applicationFilePath(), dir.path()});
    QVERIFY(child.waitForFinished(120000) || child.error() == QProcess::FailedToStart);
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (!output.contains("Start testing"))
        QSKIP(qPrintable("no private mount namespace here: " + output.trimmed()));
    QVERIFY2(child.exitCode() == 0 && output.contains("Totals: 5 passed, 0 failed"),
             qPrintable(output));
}

void TestMqttClient::inHostsNamespace_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("listenOn"); // which of the name's addresses the broker listens on
    QTest::addColumn<bool>("passwordFile");
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<QString>("expectedLog");

    QTest::newRow("fail-over to the second address")
        << TwoAddressName << "second" << false << QList<int>{1, 2, 3} << FailedAttempt;
    QTest::newRow("no fail-over after a refusal")
        << TwoAddressName << "both" << true << QList<int>{1, 2, 0}
        << "^MQTT connection refused: Connection Refused: not authorised.$";
    QTest::newRow("unresolvable host")
        << "nothing.invalid"
        << "none" << false << QList<int>{1, 0}
        << R"(^Could not resolve MQTT broker host: "Host not found"$)";
}

void TestMqttClient::inHostsNamespace()
{
    if (!qEnvironmentVariableIsSet(NamespaceEnv))
        QSKIP("runs inside the namespace that hostsNamespace() sets up");
    QFETCH(QString, host);
    QFETCH(QString, listenOn);
    QFETCH(bool, passwordFile);
    QFETCH(QList<int>, states);
    QFETCH(QString, expectedLog);

    // The resolver orders the addresses itself, so ask it which one comes second.
    const QList<QHostAddress> addresses = QHostInfo::fromName(TwoAddressName).addresses();
    QCOMPARE(addresses.size(), 2);
    QStringList listen{addresses.at(1).toString()};
    if (listenOn == QLatin1String("both"))
        listen.prepend(addresses.at(0).toString());
    broker->setListenAddresses(listen);
    if (passwordFile)
        broker->addUser(QStringLiteral("alice"), QStringLiteral("s3cret"));
    QVERIFY2(broker->start(), qPrintable(broker->errorString()));

    MqttClient client;
    client.SetUserName(QStringLiteral("alice"));
    client.SetPassword(QStringLiteral("wrong"));
    QVERIFY(client.ConfigureAndConnect(host, broker->port(), {}));
    QTRY_COMPARE_WITH_TIMEOUT(logs->states(), states, Timeout);
    QCOMPARE(logs->matching(expectedLog), 1);
    // Exactly one connection reached the broker: no second try after a refusal.
    if (listenOn != QLatin1String("none"))
        QCOMPARE(broker->logCount(QStringLiteral("New connection from")), 1);
}

QTEST_MAIN(TestMqttClient)
#include "tst_mqttclient.moc"
