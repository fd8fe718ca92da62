#include <QElapsedTimer>
#include <QHostInfo>
#include <QMetaMethod>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <memory>
#include <optional>
#include <tuple>

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "mqtt/mqttclient.h"
#include "support/certificates.h"
#include "support/log_capture.h"
#include "support/mosquitto_broker.h"
#include "support/sandbox.h"
#include "support/waits.h"
#include "viewmodel/viewmodel.h"

namespace {
const char *const NamespaceEnv = "CORVALEN_MQTT_HOSTS_NAMESPACE";
// Only the private hosts file of runInHostsNamespace() knows names in this domain.
const QString NamespaceDomain = ".failover.test";
const QString TwoAddressName = "two" + NamespaceDomain;
// "<date>: State Change<N>\n": the line's format is pinned by stateChangeLine(), elsewhere only
// the state in it counts.
const QRegularExpression StateLine("^\"[^\"]+: State Change(\\d)\\\\n\"$");
const QRegularExpression OtherLine("^(?!\"[^\"]+: State Change)");

using State = MqttClient::ConnectionState;
using Trail = QList<State>;
constexpr State Down = MqttClient::Disconnected, Lookup = MqttClient::Resolving,
                Dialing = MqttClient::Connecting, Up = MqttClient::Connected;
const Trail Connects{Lookup, Dialing, Up};                  // a lookup, a connect, a CONNACK
const Trail Fails{Lookup, Dialing, Down};                   // refused or unanswered
const Trail NoConnect{Lookup, Down};                        // over before a connect was under way
const Trail Reconnects = Connects + Trail{Down} + Connects; // closed, then opened again

std::optional<LogCapture> capture; // the running test's log

QStringList logged()
{
    return capture->lines();
}

Trail stateTrail() // the states of the "<date>: State Change<N>\n" lines, in order
{
    Trail trail;
    for (const QString &line : logged())
        if (const auto match = StateLine.match(line); match.hasMatch())
            trail.append(State(match.captured(1).toInt()));
    return trail;
}

// A string as MQTT encodes it: its length in two bytes, then its bytes.
QByteArray mqttString(const QByteArray &bytes)
{
    return char(bytes.size() >> 8) + (char(bytes.size() & 0xff) + bytes);
}

enum class Broker // what the broker of a connection attempt is like
{
    Open,              // anyone may connect
    Gone,              // nothing listens
    AliceOnly,         // only alice, with the password s3cret
    SecondAddress,     // open, on the second address of the name only
    BothAddressesAlice // alice only, on both addresses of the name
};

enum class Retry // automatic reconnect
{
    Off,
    NotScheduled, // on, but the attempt ended in a way that retrying cannot mend
    Scheduled
};

enum class Trust // what the client trusts when it uses TLS
{
    NoTls,
    TestCa,
    OtherCa,
    SystemStore, // which the test points at its CA
    MissingFile
};

struct TlsAttempt
{
    QString host;
    QString serverCertificate; // empty: plain MQTT
    Trust trust;
    Trail states;
    // A pattern for the client's other log lines; a retry is scheduled only where an attempt
    // ends without a verdict on the certificate.
    QString otherLog;
    bool mayFailInConnect = false; // the handshake may end within the library's connect call
};

struct Attempt // a connection attempt and what it must come to
{
    QString host;
    Broker broker;
    QString password; // the user is alice where the broker wants one
    Trail states;
    QString otherLog;        // a pattern for the client's other log lines
    QString brokerLine = {}; // occurs exactly once in the broker's log; empty: not checked
    Retry retry = Retry::Off;
};
} // namespace
Q_DECLARE_METATYPE(Attempt)
Q_DECLARE_METATYPE(TlsAttempt)

class TestMqttClient : public QObject
{
    Q_OBJECT

    Sandbox sandbox;                         // the facade's session store
    std::unique_ptr<MosquittoBroker> broker; // a fresh one for every test
    const QString id = "c1";

    // A private mount namespace gives the name two loopback addresses and makes lookups
    // files-only, so nothing leaves the machine; the test case runs there in a child.
    void runInHostsNamespace(const QString &testCase)
    {
        QTemporaryDir dir;
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        const QString script =
            "printf '127.0.0.1 localhost\\n127.0.0.2 %1\\n127.0.0.1 %1\\n' "
            ">\"$1/hosts\" && echo 'hosts: files' >\"$1/nss\" && "
            "mount --bind \"$1/hosts\" /etc/hosts && "
            "mount --bind \"$1/nss\" /etc/nsswitch.conf && exec env %2=1 \"$0\" \"$2\"";
        child.start("unshare", {"-m", "sh", "-c", script.arg(TwoAddressName, NamespaceEnv),
                                QCoreApplication::applicationFilePath(), dir.path(), testCase});
        QVERIFY(child.waitForFinished(120000) || child.error() == QProcess::FailedToStart);
        const QString output = QString::fromLocal8Bit(child.readAll());
        if (!output.contains("Start testing"))
            QSKIP(qPrintable("no private mount namespace here: " + output.trimmed()));
        QVERIFY2(child.exitCode() == 0 && output.contains("Totals: 3 passed, 0 failed"),
                 qPrintable(output));
    }

    // Connects the client as `id` and waits until the broker has its one subscription.
    bool subscribed(MqttClient &client, const QString &topic)
    {
        client.SetClientId(id);
        return client.ConfigureAndConnect(broker->host(), broker->port(), {topic}) &&
               QTest::qWaitFor([&] { return broker->subscriptions(id) == QStringList{topic}; },
                               kWait);
    }

private slots:
    void init()
    {
        capture.reset();
        capture.emplace();
        broker = std::make_unique<MosquittoBroker>();
        QVERIFY2(broker->start(), qPrintable(broker->errorString()));
    }

    void methodIndicesFollowTheInterface_data()
    {
        QTest::addColumn<int>("index"); // relative to the methods QObject brings
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QMetaMethod::MethodType>("type");
        QTest::addColumn<QMetaMethod::Access>("access");
        const QList<std::tuple<const char *, QMetaMethod::MethodType, QMetaMethod::Access>> members{
            {"connectedChanged(bool)", QMetaMethod::Signal, QMetaMethod::Public},
            {"messageReceived(QString,QString)", QMetaMethod::Signal, QMetaMethod::Public},
            {"HostLookedUp(QHostInfo)", QMetaMethod::Slot, QMetaMethod::Private},
            {"Pump()", QMetaMethod::Slot, QMetaMethod::Private},
            {"SetPort(uint)", QMetaMethod::Method, QMetaMethod::Public},
            {"SetWebSocketPort(uint)", QMetaMethod::Method, QMetaMethod::Public},
            {"SetHostName(QString)", QMetaMethod::Method, QMetaMethod::Public},
            {"SetUserName(QString)", QMetaMethod::Method, QMetaMethod::Public},
            {"SetPassword(QString)", QMetaMethod::Method, QMetaMethod::Public},
            {"SetClientId(QString)", QMetaMethod::Method, QMetaMethod::Public},
            {"Connect()", QMetaMethod::Method, QMetaMethod::Public},
            {"Disconnect()", QMetaMethod::Method, QMetaMethod::Public},
            {"ConfigureAndConnect(QString,uint,QStringList)", QMetaMethod::Method,
             QMetaMethod::Public},
            {"ResetConfiguration()", QMetaMethod::Method, QMetaMethod::Public},
            {"PublishToTopic(QString,QString)", QMetaMethod::Method, QMetaMethod::Public},
            {"AddSubscriptionToTopic(QString)", QMetaMethod::Method, QMetaMethod::Public}};
        for (int i = 0; i < members.size(); ++i) {
            const auto &[signature, type, access] = members.at(i);
            QTest::newRow(signature) << i << QByteArray(signature) << type << access;
        }
    }

    void methodIndicesFollowTheInterface()
    {
        QFETCH(int, index);
        QFETCH(QByteArray, signature);
        QFETCH(QMetaMethod::MethodType, type);
        QFETCH(QMetaMethod::Access, access);
        const QMetaObject &meta = MqttClient::staticMetaObject;
        const QMetaMethod method = meta.method(meta.methodOffset() + index);
        QCOMPARE(method.methodSignature(), signature);
        QCOMPARE(method.methodType(), type);
        QCOMPARE(method.access(), access);
    }

    void additionsLeaveTheInterfaceIndices()
    {
        // Members added later sit outside the interface's sixteen and stay reachable by name.
        const QMetaObject &meta = MqttClient::staticMetaObject;
        for (const char *added :
             {"reconnectScheduled(int)", "SetAutoReconnect(bool)", "SetTls(bool,QString)"}) {
            const int addedIndex = meta.indexOfMethod(added);
            QVERIFY2(addedIndex >= 0, added);
            QVERIFY2(addedIndex < meta.methodOffset() || addedIndex > meta.methodOffset() + 15,
                     added);
        }
    }

    void topicsAndMessages()
    {
        QVERIFY(broker->publish("in/t", "kept", {"-r"}));
        MqttClient client; // without an id the library gets 23 lowercase hex characters
        const QString anyId = "[0-9a-f]{23}";
        QSignalSpy received(&client, &MqttClient::messageReceived);
        client.SetHostName(broker->host());
        client.SetPort(broker->port());
        for (const char *topic : {" in/t ", "in/t", "IN/T", "", "   ", "bad/#/x", "r/#"})
            client.AddSubscriptionToTopic(topic);

        // Publishing outside Connected is dropped, not sent later.
        client.PublishToTopic("in/t", "while disconnected");
        broker->pause(); // the TCP connect completes, the CONNACK waits
        client.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(stateTrail(), (Trail{Lookup, Dialing}), kWait);
        client.PublishToTopic("in/t", "while connecting");
        broker->resume();
        QVERIFY(received.wait(kWait)); // the retained message, after subscribing
        client.PublishToTopic("in/#", "wildcard");
        QCOMPARE(logged().count("Could not publish message"), 3);

        QVERIFY(broker->publish("in/t", "w\xc3\xb6rld") && received.wait(kWait));
        QVERIFY(broker->publish("in/t", "\xff\xfez") && received.wait(kWait));
        client.PublishToTopic("in/t", "mine");
        QVERIFY(received.wait(kWait));
        client.PublishToTopic("in/t", "");
        QVERIFY(received.wait(kWait));
        client.PublishToTopic("in/t", "\"q\\");
        QVERIFY(received.wait(kWait));
        QVERIFY(broker->publish("r/\"q\\", "p") && received.wait(kWait));
        QStringList messages;
        for (const QVariantList &signal : std::as_const(received))
            messages << signal.at(0).toString() + ": " + signal.at(1).toString();
        QCOMPARE(messages, (QStringList{"in/t: kept", "in/t: w\u00f6rld", "in/t: \ufffd\ufffdz",
                                        "in/t: mine", "in/t: ", "in/t: \"q\\", "r/\"q\\: p"}));
        // Our own messages: QoS 0, no retain, exactly the UTF-8 bytes, none of the dropped ones.
        QStringList own = broker->logLines().filter(QRegularExpression("PUBLISH from " + anyId));
        own.replaceInStrings(QRegularExpression(anyId), "ID");
        QCOMPARE(own,
                 (QStringList{"Received PUBLISH from ID (d0, q0, r0, m0, 'in/t', ... (4 bytes))",
                              "Received PUBLISH from ID (d0, q0, r0, m0, 'in/t', ... (0 bytes))",
                              "Received PUBLISH from ID (d0, q0, r0, m0, 'in/t', ... (3 bytes))"}));

        // After a reconnect (a topic added while resolving) the whole list is subscribed again.
        client.Disconnect();
        client.Connect();
        client.AddSubscriptionToTopic("e/f");
        QTRY_COMPARE_WITH_TIMEOUT(
            broker->subscriptions(anyId),
            (QStringList{"in/t", "IN/T", "r/#", "in/t", "IN/T", "r/#", "e/f"}), kWait);
        QCOMPARE(logged().count("Could not subscribe to topic: \"bad/#/x\""), 2); // per connection
    }

    void messageLine_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("line"); // the whole line, as qDebug() quotes topic and payload
        QTest::newRow("text") << "in/t" << QByteArray("kept") << R"("in/t"  Message:  "kept")";
        QTest::newRow("UTF-8") << "in/t" << QByteArray("w\xc3\xb6rld")
                               << R"("in/t"  Message:  "w\xC3\xB6rld")";
        QTest::newRow("not UTF-8")
            << "in/t" << QByteArray("\xff\xfez") << R"("in/t"  Message:  "\xFF\xFEz")";
        QTest::newRow("empty") << "in/t" << QByteArray() << R"("in/t"  Message:  "")";
        QTest::newRow("quote and backslash") // a plain literal: moc misreads \" in a raw one
            << "r/\"q\\" << QByteArray("\"q\\") << "\"r/\\\"q\\\\\"  Message:  \"\\\"q\\\\\"";
    }

    void messageLine()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(QString, line);
        MqttClient client;
        QSignalSpy received(&client, &MqttClient::messageReceived);
        QVERIFY(subscribed(client, topic));
        QVERIFY(broker->publish(topic, payload) && received.wait(kWait));
        QCOMPARE(logged().filter(" Message: "), QStringList{line});
    }

    void changingTopicsKeepTheirNames()
    {
        // Topics alternate, in and out, and each message keeps its own.
        MqttClient client;
        QVERIFY(subscribed(client, "a/#"));
        QSignalSpy received(&client, &MqttClient::messageReceived);
        const QStringList topics{"a/1", "a/2", "a/2", "a/\u00e9", "a/1"};
        for (const QString &topic : topics)
            client.PublishToTopic(topic, topic);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), int(topics.size()), kWait);
        for (const QVariantList &signal : std::as_const(received))
            QCOMPARE(signal.at(0).toString(), signal.at(1).toString());
        QCOMPARE(broker->logLines().filter("Received PUBLISH from " + id).join('\n').count("'a/1'"),
                 2);
    }

    void incomingSizeLimit_data()
    {
        QTest::addColumn<QByteArray>("limit"); // CORVALEN_MQTT_MAX_INCOMING_BYTES
        QTest::addColumn<bool>("delivered");   // the 100000-byte message
        QTest::newRow("unset") << QByteArray() << true;
        QTest::newRow("exactly its size") << QByteArray(" 100000 ") << true;
        QTest::newRow("one byte less") << QByteArray("99999") << false;
        QTest::newRow("not a number") << QByteArray("lots") << true;
        QTest::newRow("zero") << QByteArray("0") << true;
    }

    void incomingSizeLimit()
    {
        QFETCH(QByteArray, limit);
        QFETCH(bool, delivered);
        qputenv("CORVALEN_MQTT_MAX_INCOMING_BYTES", limit);
        const auto unset = qScopeGuard([] { qunsetenv("CORVALEN_MQTT_MAX_INCOMING_BYTES"); });
        MqttClient client;
        QSignalSpy received(&client, &MqttClient::messageReceived);
        QVERIFY(subscribed(client, "l/t"));
        QVERIFY(broker->publishEach("l/t", {QByteArray(100000, 'b'), "small"}));
        QTRY_VERIFY_WITH_TIMEOUT(!received.isEmpty() && received.constLast().at(1) == "small",
                                 kWait);
        QCOMPARE(received.size(), delivered ? 2 : 1);
        if (delivered)
            QCOMPARE(received.constFirst().at(1).toString().size(), 100000);
        const QStringList dropped =
            delivered ? QStringList()
                      : QStringList{"Dropped an MQTT message over "
                                    "CORVALEN_MQTT_MAX_INCOMING_BYTES: \"l/t\" 100000 bytes"};
        QCOMPARE(logged().filter("Dropped"), dropped);
        QCOMPARE(logged().filter(" Message: ").size(), received.size());
    }

    void deliveryKeepsArrivalOrder()
    {
        MqttClient client;
        QVERIFY(subscribed(client, "o/t"));
        QStringList delivered;
        connect(&client, &MqttClient::messageReceived, this,
                [&](const QString &, const QString &message) {
                    delivered.append(message);
                    if (message != "0")
                        return;
                    // A nested event loop, as a native message box runs, while newer messages
                    // come in and a nested Pump reads them.
                    QVERIFY(broker->publishEach("o/t", {"5", "6", "7", "8", "9"}));
                    QVERIFY(broker->waitForUnreadByClients(5 * 8));
                    QTRY_COMPARE_WITH_TIMEOUT(broker->unreadByClients(), 0, kWait);
                });
        QVERIFY(broker->publishEach("o/t", {"0", "1", "2", "3", "4"}));
        QVERIFY(broker->waitForUnreadByClients(5 * 8)); // one Pump reads the whole first burst
        QTRY_COMPARE_WITH_TIMEOUT(delivered.size(), 10, kWait);
        const QStringList inOrder{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
        QCOMPARE(delivered, inOrder);
        QStringList logOrder = logged().filter(" Message: ");
        logOrder.replaceInStrings(QRegularExpression(R"re(^.* Message:  "(\d)"$)re"), "\\1");
        QCOMPARE(logOrder, inOrder);
    }

    void pumpYieldsToTheEventLoop_data()
    {
        QTest::addColumn<int>("messages");
        QTest::addColumn<int>("budgetMs");       // time after which a Pump yields
        QTest::addColumn<qint64>("budgetBytes"); // or bytes of messages
        QTest::newRow("more than 128 messages") << 300 << 1000 << qint64(1 << 30);
        QTest::newRow("time budget spent after each message") << 10 << 0 << qint64(1 << 30);
        QTest::newRow("byte budget spent after each message") << 10 << 1000 << qint64(1);
    }

    void pumpYieldsToTheEventLoop()
    {
        QFETCH(int, messages);
        QFETCH(int, budgetMs);
        QFETCH(qint64, budgetBytes);
        MqttClient client;
        client.pump_budget_ms = budgetMs;
        client.pump_byte_budget = budgetBytes;
        QVERIFY(subscribed(client, "y/t"));
        client.pump_timer.stop(); // without the one-second tick, only the Pump itself may resume
        QStringList delivered;
        int deliveredAtFirstYield = -1;
        connect(&client, &MqttClient::messageReceived, this,
                [&](const QString &, const QString &message) {
                    if (delivered.isEmpty())
                        QMetaObject::invokeMethod(
                            this, [&] { deliveredAtFirstYield = int(delivered.size()); },
                            Qt::QueuedConnection);
                    delivered.append(message);
                });
        QList<QByteArray> burst;
        QStringList expected;
        for (int i = 0; i < messages; ++i) {
            burst.append(QByteArray::number(i).rightJustified(3, '0'));
            expected.append(burst.last());
        }
        QVERIFY(broker->publishEach("y/t", burst));
        QVERIFY(broker->waitForUnreadByClients(messages * 10)); // all there before any Pump
        QTRY_COMPARE_WITH_TIMEOUT(delivered.size(), messages, kWait);
        QCOMPARE(delivered, expected);
        QTRY_VERIFY_WITH_TIMEOUT(deliveredAtFirstYield != -1, kWait);
        QVERIFY2(deliveredAtFirstYield < messages, "the whole burst was delivered in one turn");
    }

    void timersRunBetweenBatches()
    {
        // A window's update requests come from timers, which the event loop runs only when
        // nothing else is ready: a flood must not keep the socket and the next Pump ready for
        // good. Here every Pump reads one message and then steps aside for the timers, and a
        // timer started at the first message must fire while the rest still wait.
        MqttClient client;
        client.pump_byte_budget = 1;
        client.busy_limit_ns = 0;
        QVERIFY(subscribed(client, "f/t"));
        client.pump_timer.stop(); // without the one-second tick, only the socket may wake a Pump
        QStringList delivered;
        int deliveredWhenTimerFired = -1;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this,
                [&] { deliveredWhenTimerFired = int(delivered.size()); });
        QList<QByteArray> burst;
        QStringList expected;
        for (int i = 0; i < 200; ++i) {
            burst.append(QByteArray::number(i).rightJustified(3, '0'));
            expected.append(burst.last());
        }
        // The application's own loop: QTest's waiting runs timers at another priority.
        QEventLoop loop;
        connect(&client, &MqttClient::messageReceived, this,
                [&](const QString &, const QString &message) {
                    if (delivered.isEmpty())
                        timer.start(1);
                    delivered.append(message);
                    if (delivered.size() == expected.size())
                        loop.quit();
                });
        bool published = false;
        // From a timer, as timers fire in a running application before any flood.
        QTimer::singleShot(1, this, [&] {
            published = broker->publishEach("f/t", burst) &&
                        broker->waitForUnreadByClients(int(burst.size()) * 10);
        });
        QTimer::singleShot(kWait, &loop, &QEventLoop::quit);
        loop.exec();
        QVERIFY(published);
        QCOMPARE(delivered, expected);
        QVERIFY(deliveredWhenTimerFired != -1);
        QVERIFY2(deliveredWhenTimerFired < expected.size(), "the timer waited for the whole flood");
        // And the socket is listened to again once the last step aside is over.
        QTRY_VERIFY_WITH_TIMEOUT(!client.stepped_aside, kWait);
        QVERIFY(broker->publish("f/t", "late"));
        QTRY_COMPARE_WITH_TIMEOUT(delivered.size(), expected.size() + 1, kWait);
    }

    void answerToFirstPublishArrives()
    {
        // The connectedChanged(true) slot says hello and subscribes to the answer; the peer
        // answers at once, so the SUBSCRIBE must not wait behind the PUBLISH (with Nagle's
        // algorithm it waits for the broker's delayed ACK, and every answer is lost). Even with
        // both sent at once, the broker, which reads one packet per client in each pass, may
        // now and then take the answer first, so a dashboard session is tried a few times.
        EchoPeer peer("hello/in", "hello/out");
        QVERIFY(peer.start(*broker));
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions("echo"), QStringList{"hello/in"}, kWait);
        MqttClient client;
        QSignalSpy received(&client, &MqttClient::messageReceived);
        connect(&client, &MqttClient::connectedChanged, this, [&](bool isConnected) {
            if (!isConnected)
                return;
            client.PublishToTopic("hello/in", "hello");
            client.AddSubscriptionToTopic("hello/out");
        });
        for (int session = 0; session < 5 && received.isEmpty(); ++session) {
            QVERIFY(client.ConfigureAndConnect(broker->host(), broker->port(), {}));
            received.wait(kWait);
        }
        QCOMPARE(received.value(0), (QVariantList{"hello/out", "hello"}));
    }

    void noDelayOnEveryConnection_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("plain") << false;
        QTest::newRow("TLS") << true;
    }

    void noDelayOnEveryConnection()
    {
        QFETCH(bool, tls);
        const QTemporaryDir *certificates = testCertificates({TwoAddressName});
        QVERIFY(certificates);
        if (tls) {
            broker->stop();
            broker->setTls(certificates->filePath("host.pem"), certificates->filePath("host.key"));
            QVERIFY2(broker->start(), qPrintable(broker->errorString()));
        }
        MqttClient client;
        QSignalSpy connected(&client, &MqttClient::connectedChanged);
        client.SetTls(tls, certificates->filePath("ca.pem"));
        QVERIFY(client.ConfigureAndConnect(broker->host(), broker->port(), {}));
        QVERIFY(connected.wait(kWait));
        int noDelay = 0;
        socklen_t size = sizeof noDelay;
        QCOMPARE(
            getsockopt(mosquitto_socket(client.mosq), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size),
            0);
        QCOMPARE(noDelay, 1);
    }

    void publishRefusedWhileBrokerStopsReading()
    {
        MqttClient client;
        QSignalSpy received(&client, &MqttClient::messageReceived);
        QVERIFY(subscribed(client, "q/small"));
        broker->pause(); // the kernel buffers fill up, then the client's own queue grows
        const QString big(1024 * 1024, 'x');
        int accepted = 0;
        for (; accepted < 64; ++accepted) {
            client.PublishToTopic("q/big", big);
            if (logged().contains("Could not publish message"))
                break;
            QCoreApplication::processEvents(); // lets the queued Pump write what the socket takes
        }
        QVERIFY2(accepted < 64, "64 MiB queued for a broker that reads nothing");
        QVERIFY(client.isConnected());

        // Once the broker has read everything queued, publishing works again.
        broker->resume();
        QTRY_COMPARE_WITH_TIMEOUT(broker->logCount("Received PUBLISH from " + id), accepted, kWait);
        client.PublishToTopic("q/small", "after");
        QVERIFY(received.wait(kWait));
        QCOMPARE(received.constLast().at(1).toString(), "after");
        QCOMPARE(logged().count("Could not publish message"), 1);
    }

    void capCountsOnlyUnsentBytes()
    {
        // A broker that reads, but more slowly than the dashboard publishes: its socket stays
        // full and a backlog stays in the client, well under the cap. What the broker has read
        // left long ago and must not count, so no publish is refused however long this goes on.
        constexpr qint64 Cap = 8 * 1024 * 1024;
        MqttClient client;
        QVERIFY(subscribed(client, "q/small"));
        const QString payload(16384, 'x');
        const qint64 wireSize = 1 + 3 + 2 + 5 + 16384; // header, length, topic length, "q/big"
        const QString received = "Received PUBLISH from " + id;
        int published = 0;
        const auto publish = [&] {
            client.PublishToTopic("q/big", payload);
            ++published;
            QCoreApplication::processEvents(); // lets the queued Pump write what the socket takes
        };
        // Stalled first, until the kernel holds all it takes, then a backlog of three quarters
        // of the cap in the client: more than the kernel can take at one go as the broker reads.
        broker->pause();
        const auto resume = qScopeGuard([&] { broker->resume(); });
        while (!mosquitto_want_write(client.mosq) && published * wireSize < Cap)
            publish();
        const int inKernel = published;
        QVERIFY2(inKernel * wireSize < Cap, "the kernel took the whole cap");
        while ((published - inKernel) * wireSize < Cap * 3 / 4)
            publish();
        // Then, until three caps' worth have been published, the broker reads some and stops
        // again, the client sends on what now fits, and as much is published again. The client
        // does not run while the broker reads, so its backlog never runs dry.
        while (published * wireSize < 3 * Cap && !logged().contains("Could not publish message")) {
            const int before = broker->logCount(received);
            broker->resume();
            QVERIFY(broker->waitForLogCount(received, before + inKernel / 4));
            broker->pause();
            const int read = broker->logCount(received) - before;
            for (int i = 0; i < read; ++i)
                publish();
        }
        QCOMPARE(logged().count("Could not publish message"), 0);
        broker->resume();
        QTRY_COMPARE_WITH_TIMEOUT(broker->logCount(received), published, kWait);
    }

    void slotMayDeleteTheClient()
    {
        // Each client is deleted by a slot of one of its own signals while the call that emitted
        // it is still on the stack (ASan or valgrind report any access to the freed client).
        std::unique_ptr<MqttClient> up, message, reset, reconfigure, lost;
        const QList<QPair<QString, std::unique_ptr<MqttClient> *>> all{
            {"del-up", &up},
            {"del-message", &message},
            {"del-reset", &reset},
            {"del-reconfigure", &reconfigure},
            {"del-lost", &lost}};
        for (const auto &[clientId, client] : all) {
            *client = std::make_unique<MqttClient>();
            (*client)->SetClientId(clientId);
        }
        connect(up.get(), &MqttClient::connectedChanged, this, [&](bool isUp) {
            if (isUp)
                up.reset();
        });
        connect(message.get(), &MqttClient::messageReceived, this, [&] { message.reset(); });
        for (auto *client : {&reset, &reconfigure, &lost})
            connect(client->get(), &MqttClient::connectedChanged, this, [client](bool isUp) {
                if (!isUp)
                    client->reset();
            });
        for (const auto &[clientId, client] : all)
            QVERIFY((*client)->ConfigureAndConnect(broker->host(), broker->port(), {"d/t"}));
        QTRY_VERIFY_WITH_TIMEOUT(!up, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions("del-.*").size(), 4, kWait);

        QVERIFY(broker->publishEach("d/t", {"1", "2", "3"}));
        QTRY_VERIFY_WITH_TIMEOUT(!message, kWait);
        reset->ResetConfiguration();
        QVERIFY(!reset);
        QVERIFY(reconfigure->ConfigureAndConnect(broker->host(), broker->port(), {"d/t"}));
        QVERIFY(!reconfigure);
        for (const auto &[clientId, client] : all.mid(0, 4))
            QTRY_COMPARE_WITH_TIMEOUT(broker->logCount("Received DISCONNECT from " + clientId), 1,
                                      kWait);
        broker->kill();
        QTRY_VERIFY_WITH_TIMEOUT(!lost, kWait);
    }

    void connectAttempt_data()
    {
        QTest::addColumn<Attempt>("attempt");
        const QString ip = "127.0.0.1",
                      failed = "(DISCONNECTED |Could not connect to MQTT broker: ).*",
                      unresolved = "Could not resolve MQTT broker host: \"%1\"",
                      refused = "MQTT connection refused: Connection Refused: not authorised.\n"
                                "DISCONNECTED The connection was refused.";
        const QString badName = "bad..name.invalid", invalid = unresolved.arg("Invalid hostname");
        QTest::newRow("no host name") << Attempt{
            "", Broker::Open, "", {}, "Could not connect to MQTT broker: host name is not set"};
        QTest::newRow("malformed host name")
            << Attempt{badName, Broker::Open, "", NoConnect, invalid};
        QTest::newRow("nothing listening") << Attempt{ip, Broker::Gone, "", Fails, failed};
        QTest::newRow("right credentials")
            << Attempt{ip, Broker::AliceOnly, "s3cret", Connects, "", "(p2, c1, k60, u'alice')."};
        QTest::newRow("wrong password")
            << Attempt{ip, Broker::AliceOnly, "wrong", Fails, refused, "New connection"};
        QTest::newRow("fail-over to the second address")
            << Attempt{TwoAddressName, Broker::SecondAddress, "", Connects, failed};
        QTest::newRow("no fail-over after a refusal") << Attempt{
            TwoAddressName, Broker::BothAddressesAlice, "wrong", Fails, refused, "New connection"};
        const QString nowhere = "nothing" + NamespaceDomain,
                      notFound = unresolved.arg("Host not found");
        QTest::newRow("unresolvable host")
            << Attempt{nowhere, Broker::Open, "", NoConnect, notFound};
        const QString retrying = "\nReconnecting to MQTT broker in 1 s";
        QTest::newRow("reconnect on, nothing listening")
            << Attempt{ip, Broker::Gone, "", Fails, failed + retrying, {}, Retry::Scheduled};
        QTest::newRow("reconnect on, wrong password") << Attempt{
            ip, Broker::AliceOnly, "wrong", Fails, refused, "New connection", Retry::NotScheduled};
        QTest::newRow("reconnect on, malformed host name")
            << Attempt{badName, Broker::Open, "", NoConnect, invalid, {}, Retry::NotScheduled};
        QTest::newRow("reconnect on, unresolvable host")
            << Attempt{nowhere, Broker::Open, "", NoConnect, notFound, {}, Retry::NotScheduled};
    }

    void connectAttempt()
    {
        QFETCH(const Attempt, attempt);
        const auto &[host, kind, password, states, otherLog, brokerLine, retry] = attempt;
        if (host.endsWith(NamespaceDomain) && !qEnvironmentVariableIsSet(NamespaceEnv))
            return runInHostsNamespace(QString("connectAttempt:") + QTest::currentDataTag());

        if (kind != Broker::Open) // reconfigured, or gone
            broker->stop();
        if (kind == Broker::SecondAddress || kind == Broker::BothAddressesAlice) {
            // The resolver orders the addresses itself, so ask it which one comes second.
            const QList<QHostAddress> addresses = QHostInfo::fromName(TwoAddressName).addresses();
            QCOMPARE(addresses.size(), 2);
            QStringList listen{addresses.at(1).toString()};
            if (kind == Broker::BothAddressesAlice)
                listen.prepend(addresses.at(0).toString());
            broker->setListenAddresses(listen);
        }
        const QString user =
            kind == Broker::AliceOnly || kind == Broker::BothAddressesAlice ? "alice" : "";
        broker->setUser(user, "s3cret");
        if (kind != Broker::Open && kind != Broker::Gone)
            QVERIFY2(broker->start(), qPrintable(broker->errorString()));

        MqttClient client;
        QSignalSpy connected(&client, &MqttClient::connectedChanged);
        QSignalSpy scheduled(&client, &MqttClient::reconnectScheduled);
        client.SetAutoReconnect(retry != Retry::Off);
        client.SetHostName(host);
        client.SetPort(broker->port());
        client.SetUserName(user);
        client.SetPassword(password);
        client.Connect();
        // Once a lookup of the same name started now has come back, one the client started
        // would have too: only then can a trail that ends at once be trusted.
        bool lookedUp = false;
        QHostInfo::lookupHost(host, this, [&](const QHostInfo &) { lookedUp = true; });
        QTRY_VERIFY_WITH_TIMEOUT(lookedUp, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(stateTrail(), states, kWait);
        QCOMPARE(connected.size(), int(states.count(Up)));
        // Decided when the attempt ends, so there is nothing to wait for.
        QCOMPARE(scheduled,
                 retry == Retry::Scheduled ? QList<QVariantList>{{1}} : QList<QVariantList>());
        const QString others = logged().filter(OtherLine).join('\n');
        QVERIFY(QRegularExpression("\\A(?:" + otherLog + ")\\z").match(others).hasMatch());
        if (!brokerLine.isEmpty()) // the user sent, or one connection only: a refusal is final
            QTRY_COMPARE_WITH_TIMEOUT(broker->logCount(brokerLine), 1, kWait);
    }

    void staleLookupResultsAreIgnored()
    {
        MqttClient client;
        QSignalSpy connected(&client, &MqttClient::connectedChanged);
        client.SetHostName(broker->host());
        client.SetPort(broker->port());
        client.Connect();
        // A superseded lookup's failure must not end the running attempt...
        QHostInfo superseded(client.lookup_id + 1);
        superseded.setError(QHostInfo::HostNotFound);
        client.HostLookedUp(superseded);
        QVERIFY(connected.wait(kWait));
        // ...nor a result arriving after Resolving start another one.
        QHostInfo late;
        late.setAddresses({QHostAddress(broker->host())});
        client.HostLookedUp(late);
        QCOMPARE(stateTrail(), Connects);
        QVERIFY(logged().filter(OtherLine).isEmpty());
    }

    void stateChangeLine()
    {
        MqttClient client;
        client.SetHostName(broker->host());
        client.SetPort(broker->port());
        const QString before = QDateTime::currentDateTime().toString(Qt::TextDate);
        client.Connect(); // Resolving, at once
        const QString after = QDateTime::currentDateTime().toString(Qt::TextDate);
        const QString line = logged().value(0);
        QVERIFY2(line == '"' + before + ": State Change1\\n\"" ||
                     line == '"' + after + ": State Change1\\n\"",
                 qPrintable(line));
    }

    void reconnectFromMessageSlot()
    {
        MqttClient client;
        QVERIFY(subscribed(client, "r/t"));
        QStringList delivered;
        connect(&client, &MqttClient::messageReceived, this,
                [&](const QString &, const QString &message) {
                    delivered.append(message);
                    if (message == "again") {
                        client.Disconnect();
                        client.Connect();
                    }
                });
        QVERIFY(broker->publishEach("r/t", {"again", "dropped"}));
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions(id), (QStringList{"r/t", "r/t"}), kWait);
        QVERIFY(broker->publish("r/t", "after"));
        QTRY_COMPARE_WITH_TIMEOUT(delivered, (QStringList{"again", "after"}), kWait);
        QCOMPARE(stateTrail(), Reconnects);
        QCOMPARE(broker->logCount("Received DISCONNECT from " + id), 1);
    }

    void replyFromMessageSlotLeavesAtOnce()
    {
        // The Pump that delivered the message writes the slot's answer before it returns.
        MqttClient client;
        QVERIFY(subscribed(client, "e/in"));
        int queuedAfterDelivery = -1;
        connect(&client, &MqttClient::messageReceived, this,
                [&](const QString &, const QString &message) {
                    QMetaObject::invokeMethod(
                        this, [&] { queuedAfterDelivery = mosquitto_want_write(client.mosq); },
                        Qt::QueuedConnection);
                    client.PublishToTopic("e/out", message);
                });
        QVERIFY(broker->publish("e/in", "ping"));
        QTRY_VERIFY_WITH_TIMEOUT(queuedAfterDelivery != -1, kWait);
        QCOMPARE(queuedAfterDelivery, 0);
        QTRY_COMPARE_WITH_TIMEOUT(broker->logCount("Received PUBLISH from " + id), 1, kWait);
    }

    void replyLeavesWhileTheSlotWaits_data()
    {
        QTest::addColumn<bool>("inEventLoop");
        QTest::newRow("processing events without waiting") << false;
        QTest::newRow("in an event loop, as a message box") << true;
    }

    void replyLeavesWhileTheSlotWaits()
    {
        QFETCH(bool, inEventLoop);
        MqttClient client;
        QVERIFY(subscribed(client, "n/in"));
        client.pump_timer.stop(); // without the one-second tick, only the socket may wake a Pump
        const auto answered = [&] { return broker->logContains("Received PUBLISH from " + id); };
        int leftMeanwhile = 0; // 1: the answer reached the broker while the slot waited; -1: not
        connect(&client, &MqttClient::messageReceived, this,
                [&](const QString &, const QString &message) {
                    client.PublishToTopic("n/out", message);
                    if (!inEventLoop) {
                        leftMeanwhile = QTest::qWaitFor(answered, kWait) ? 1 : -1;
                        return;
                    }
                    QEventLoop loop;
                    QTimer check;
                    connect(&check, &QTimer::timeout, &loop, [&] {
                        if (answered())
                            loop.exit(1);
                    });
                    check.start(20);
                    QTimer::singleShot(kWait, &loop, [&] { loop.exit(-1); });
                    leftMeanwhile = loop.exec();
                });
        QVERIFY(broker->publish("n/in", "ping"));
        QTRY_VERIFY_WITH_TIMEOUT(leftMeanwhile != 0, 2 * kWait);
        QCOMPARE(leftMeanwhile, 1);
    }

    void credentialsInConnectPacket_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("flags"); // clean session, and one bit for each credential sent
        QTest::addColumn<QByteArray>("credentials"); // the end of the packet
        QTest::newRow("user name and password")
            << QString("alice") << "s3cret" << 0xc2 << mqttString("alice") + mqttString("s3cret");
        QTest::newRow("user name without password")
            << QString("alice") << "" << 0x82 << mqttString("alice");
        QTest::newRow("password without user name")
            << QString("") << "s3cret" << 0x02 << QByteArray();
        QTest::newRow("non-ASCII user name")
            << QString("j\u00f6rg") << "" << 0x82 << mqttString("j\xc3\xb6rg");
    }

    void credentialsInConnectPacket()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(int, flags);
        QFETCH(QByteArray, credentials);
        QTcpServer listener; // reads the CONNECT packet and never answers
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        MqttClient client;
        client.SetHostName("127.0.0.1");
        client.SetPort(listener.serverPort());
        client.SetClientId(id);
        client.SetUserName(user);
        client.SetPassword(password);
        client.Connect();
        QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), kWait);
        QTcpSocket *peer = listener.nextPendingConnection();
        // Protocol name and level, flags, keep-alive 60 s, the client id, then the credentials.
        const QByteArray body = mqttString("MQTT") + '\x04' + char(flags) +
                                QByteArray("\0\x3c", 2) + mqttString("c1") + credentials;
        const QByteArray packet = char(0x10) + (char(body.size()) + body);
        QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() >= packet.size(), kWait);
        QCOMPARE(peer->readAll(), packet);
    }

    void brokerKilledWhileConnected()
    {
        MqttClient client;
        client.SetClientId(id);
        QSignalSpy connected(&client, &MqttClient::connectedChanged);
        QStringList linesAtLoss;
        connect(&client, &MqttClient::connectedChanged, this, [&](bool isConnected) {
            if (!isConnected)
                linesAtLoss = logged().mid(logged().size() - 2);
        });
        QVERIFY(client.ConfigureAndConnect(broker->host(), broker->port(), {"k/t"}));
        client.Connect(); // while busy: waits until this connection has ended
        QVERIFY(connected.wait(kWait));
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions(id).size(), 1, kWait);

        broker->kill();
        QVERIFY(connected.wait(kWait));
        // Logged and signalled from the same Pump, one right after the other.
        QCOMPARE(linesAtLoss.value(0), "DISCONNECTED The connection was lost.");
        QVERIFY(linesAtLoss.value(1).endsWith(": State Change0\\n\""));
        // Back at Disconnected the waiting request starts a lookup at once; that attempt fails.
        QTRY_COMPARE_WITH_TIMEOUT(stateTrail().constLast(), Down, kWait);

        QVERIFY2(broker->start(), qPrintable(broker->errorString()));
        client.Connect();
        QVERIFY(connected.wait(kWait));
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions(id).size(), 2, kWait);
        // An idle connection must not spin the event loop: no write interest while nothing is
        // queued, no notifier left on the lost connection's descriptor, which is likely reused.
        // The window is a measurement period, not a wait for something to happen.
        const std::clock_t cpuBefore = std::clock();
        QTest::qWait(3000);
        QVERIFY(std::clock() - cpuBefore < CLOCKS_PER_SEC * 6 / 10);
        // The retry at Disconnected fails in its lookup or in its connect.
        const Trail lost = Connects + Trail{Down};
        const QList<Trail> either{lost + NoConnect + Connects, lost + Fails + Connects};
        QVERIFY2(either.contains(stateTrail()), QTest::toString(stateTrail()));
    }

    void tlsConnection_data()
    {
        QTest::addColumn<TlsAttempt>("attempt");
        // The broker listens on every address of localhost (127.0.0.1, and ::1 where the hosts
        // file says so), and each address is tried in turn until a broker has answered.
        const qsizetype localhostAddresses = QHostInfo::fromName("localhost").addresses().size();
        const auto eachAddress = [&](const QString &pattern) {
            return "(?:" + pattern + ")(?:\n(?:" + pattern + ")){" +
                   QString::number(localhostAddresses - 1) + "}";
        };
        // The handshake may end within the library's connect call, or after it.
        const QString unverified = eachAddress(
                          "Could not connect to MQTT broker: certificate verification failed: %1\n"
                          "(DISCONNECTED|Could not connect to MQTT broker:) .*"),
                      failed =
                          eachAddress("DISCONNECTED .*") + "\nReconnecting to MQTT broker in 1 s";
        QTest::newRow("test CA") << TlsAttempt{"localhost", "host", Trust::TestCa, Connects, ""};
        QTest::newRow("test CA, address as host name")
            << TlsAttempt{"127.0.0.1", "host", Trust::TestCa, Connects, ""};
        QTest::newRow("system trust store")
            << TlsAttempt{"localhost", "host", Trust::SystemStore, Connects, ""};
        const QString untrusted = unverified.arg("unable to get local issuer certificate");
        QTest::newRow("CA that did not sign it")
            << TlsAttempt{"localhost", "host", Trust::OtherCa, Fails, untrusted, true};
        QTest::newRow("certificate for another name") << TlsAttempt{
            "localhost", "other", Trust::TestCa, Fails, unverified.arg("hostname mismatch"), true};
        const QString noAddress = "Could not connect to MQTT broker: certificate verification "
                                  "failed: IP address mismatch\n(DISCONNECTED|Could not connect "
                                  "to MQTT broker:) .*";
        QTest::newRow("certificate without the address")
            << TlsAttempt{"127.0.0.1", "other", Trust::TestCa, Fails, noAddress, true};
        QTest::newRow("CA file that cannot be read")
            << TlsAttempt{"localhost", "host", Trust::MissingFile, NoConnect,
                          "Could not connect to MQTT broker: cannot read the CA file \"[^\"]+\""};
        QTest::newRow("plain MQTT to the TLS port")
            << TlsAttempt{"localhost", "host", Trust::NoTls, Fails, failed};
        QTest::newRow("TLS to a plain port")
            << TlsAttempt{"localhost", "", Trust::TestCa, Fails, failed};
        QTest::newRow("fail-over, the name verified at the second address")
            << TlsAttempt{TwoAddressName, "two", Trust::TestCa, Connects, "DISCONNECTED .*"};
    }

    void tlsConnection()
    {
        QFETCH(const TlsAttempt, attempt);
        const auto &[host, serverCertificate, trust, states, otherLog, mayFailInConnect] = attempt;
        if (host.endsWith(NamespaceDomain) && !qEnvironmentVariableIsSet(NamespaceEnv))
            return runInHostsNamespace(QString("tlsConnection:") + QTest::currentDataTag());
        const QTemporaryDir *certificates = testCertificates({TwoAddressName});
        QVERIFY(certificates);
        broker->stop();
        if (host == TwoAddressName) {
            const QList<QHostAddress> addresses = QHostInfo::fromName(TwoAddressName).addresses();
            QCOMPARE(addresses.size(), 2);
            broker->setListenAddresses({addresses.at(1).toString()});
        } else if (host == "localhost") {
            QStringList listen;
            for (const QHostAddress &address : QHostInfo::fromName(host).addresses())
                listen.append(address.toString());
            broker->setListenAddresses(listen);
        }
        if (!serverCertificate.isEmpty())
            broker->setTls(certificates->filePath(serverCertificate + ".pem"),
                           certificates->filePath(serverCertificate + ".key"));
        QVERIFY2(broker->start(), qPrintable(broker->errorString()));

        MqttClient client;
        QSignalSpy received(&client, &MqttClient::messageReceived);
        QSignalSpy scheduled(&client, &MqttClient::reconnectScheduled);
        client.SetAutoReconnect(true);
        const QString caFile = trust == Trust::TestCa    ? certificates->filePath("ca.pem")
                               : trust == Trust::OtherCa ? certificates->filePath("other-ca.pem")
                               : trust == Trust::MissingFile ? certificates->filePath("none.pem")
                                                             : QString();
        client.SetTls(trust != Trust::NoTls, caFile);
        if (trust == Trust::SystemStore)
            qputenv("SSL_CERT_FILE", QFile::encodeName(certificates->filePath("ca.pem")));
        const auto restoreTrustStore = qScopeGuard([] { qunsetenv("SSL_CERT_FILE"); });
        QVERIFY(client.ConfigureAndConnect(host, broker->port(), {"s/t"}));
        QTRY_VERIFY2_WITH_TIMEOUT(stateTrail() == states ||
                                      (mayFailInConnect && stateTrail() == NoConnect),
                                  QTest::toString(stateTrail()), kWait);
        const QString others = logged().filter(OtherLine).join('\n');
        QVERIFY2(QRegularExpression("\\A(?:" + otherLog + ")\\z").match(others).hasMatch(),
                 qPrintable(others));
        QCOMPARE(scheduled.size(), int(otherLog.count("Reconnecting")));
        if (!client.isConnected())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions(".*").size(), 1, kWait);
        client.PublishToTopic("s/t", "over TLS");
        QVERIFY(received.wait(kWait));
        QCOMPARE(received.constLast().at(1).toString(), "over TLS");
    }

    void closingForgetsTls_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("sign-out") << "logUserOut";
        QTest::newRow("disconnectDashboardMqtt") << "disconnectDashboardMqtt";
    }

    void closingForgetsTls()
    {
        // The next user's dashboard, which never calls SetTls, gets plain MQTT.
        QFETCH(QString, how);
        const QTemporaryDir *certificates = testCertificates({TwoAddressName});
        QVERIFY(certificates);
        broker->stop();
        broker->setTls(certificates->filePath("host.pem"), certificates->filePath("host.key"));
        QVERIFY2(broker->start(), qPrintable(broker->errorString()));
        ViewModel manager;
        MqttClient client;
        manager.setMqttClient(&client);
        QSignalSpy connected(&client, &MqttClient::connectedChanged);
        client.SetTls(true, certificates->filePath("ca.pem"));
        QVERIFY(manager.configureDashboardMqtt(broker->host(), broker->port(), {"a/t"}));
        QVERIFY(connected.wait(kWait));

        QVERIFY(QMetaObject::invokeMethod(&manager, qPrintable(how)));
        broker->stop();
        broker->setTls({}, {});
        QVERIFY2(broker->start(), qPrintable(broker->errorString()));
        // After a sign-out only the next sign-in opens connections again.
        client.SetConnectionsOpen(true);
        QVERIFY(client.ConfigureAndConnect(broker->host(), broker->port(), {"b/t"}));
        QTRY_COMPARE_WITH_TIMEOUT(stateTrail(), Reconnects, kWait);
        QCOMPARE(logged().filter(OtherLine), QStringList());
    }

    void reconnectDelay_data()
    {
        QTest::addColumn<int>("attempt");
        QTest::addColumn<int>("longest"); // with no jitter; the most jitter halves it
        QTest::newRow("first") << 0 << 1000;
        QTest::newRow("third") << 2 << 4000;
        QTest::newRow("seventh, capped") << 6 << 60000;
        QTest::newRow("far beyond the cap") << 100000 << 60000;
    }

    void reconnectDelay()
    {
        QFETCH(int, attempt);
        QFETCH(int, longest);
        QCOMPARE(reconnectDelayMs(attempt, 0.0), longest);
        QCOMPARE(reconnectDelayMs(attempt, 0.999999), longest / 2 + 1);
    }

    void autoReconnectThroughBrokerCrashes()
    {
        // Client a reconnects after every crash; client b calls Disconnect() as soon as its
        // first retry is scheduled, and must never come back.
        MqttClient a, b;
        QSignalSpy scheduled(&a, &MqttClient::reconnectScheduled);
        QSignalSpy received(&a, &MqttClient::messageReceived);
        connect(&b, &MqttClient::reconnectScheduled, &b, &MqttClient::Disconnect);
        for (MqttClient *client : {&a, &b}) {
            client->SetClientId(client == &a ? "auto-a" : "auto-b");
            client->SetAutoReconnect(true);
            QVERIFY(client->ConfigureAndConnect(broker->host(), broker->port(), {"k/t"}));
        }
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions("auto-.").size(), 2, kWait);

        const std::clock_t cpuBefore = std::clock();
        QElapsedTimer wall;
        wall.start();
        QList<int> delays;
        for (int crash = 1; crash <= 3; ++crash) {
            for (int i = 0; i < 50; ++i) // in flight when the broker dies, then lost
                a.PublishToTopic("k/t", "before crash");
            broker->kill();
            QVERIFY(scheduled.wait(kWait));
            if (crash == 1) // the retry finds no broker yet and backs off further
                QVERIFY(scheduled.wait(kWait));
            QVERIFY2(broker->start(), qPrintable(broker->errorString()));
            QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions("auto-a").size(), 1 + crash, kWait);
            QVERIFY(broker->publish("k/t", "after crash " + QByteArray::number(crash)));
            const QString after = "after crash " + QString::number(crash);
            QTRY_VERIFY_WITH_TIMEOUT(
                !received.isEmpty() && received.constLast().at(1).toString() == after, kWait);
            a.stable_connection_ms = 0; // from now on every connection counts as one that lasted
        }
        for (const QVariantList &signal : std::as_const(scheduled))
            delays.append(signal.at(0).toInt());
        // Doubling while the broker stays away, back to the start after a connection that lasted.
        QCOMPARE(delays.size(), 4);
        QCOMPARE(delays.at(0), 1);
        QVERIFY(delays.at(1) >= 1 && delays.at(1) <= 2);
        QCOMPARE(delays.mid(2), (QList<int>{1, 1}));
        QCOMPARE(logged().count("Reconnecting to MQTT broker in 1 s") +
                     logged().count("Reconnecting to MQTT broker in 2 s"),
                 5); // b's one included
        // Waiting is idle: the whole run used a fraction of one core.
        QVERIFY(double(std::clock() - cpuBefore) / CLOCKS_PER_SEC < 0.2 * wall.elapsed() / 1000.0);
        QCOMPARE(broker->logCount("as auto-b"), 1);
        QVERIFY(!b.isConnected());
    }

    void closingSendsDisconnect_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Disconnect in a messageReceived slot") << "Disconnect";
        QTest::newRow("destruction") << "delete";
        QTest::newRow("disconnectDashboardMqtt") << "disconnectDashboardMqtt";
        QTest::newRow("sign-out") << "logUserOut";
    }

    void closingSendsDisconnect()
    {
        QFETCH(QString, how);
        ViewModel manager;
        auto client = std::make_unique<MqttClient>();
        client->SetClientId(id);
        client->SetUserName("dash");
        client->SetAutoReconnect(true); // closing on purpose is not a loss
        manager.setMqttClient(client.get());
        QSignalSpy connected(client.get(), &MqttClient::connectedChanged);
        QSignalSpy scheduled(client.get(), &MqttClient::reconnectScheduled);
        QVERIFY(manager.configureDashboardMqtt(broker->host(), broker->port(), {"t/1"}));
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions(id), QStringList{"t/1"}, kWait);
        QStringList delivered;
        connect(client.get(), &MqttClient::messageReceived, this,
                [&](const QString &, const QString &message) {
                    delivered.append(message);
                    client->Disconnect(); // the rest of the batch is dropped
                });
        client->Connect(); // waits for this connection to end; the close cancels it
        // Thousands of messages sit unread in our socket before the event loop runs again.
        // Closing with unread input resets the connection, and the broker would then drop our
        // last publish and the DISCONNECT; so all of it is read first.
        QList<QByteArray> flood(2000, "1");
        flood.first() = "0";
        QVERIFY(broker->publishEach("t/1", flood));
        QVERIFY(broker->waitForUnreadByClients(2000 * 8)); // PUBLISH: 2 + 2 + 3 + 1 bytes each
        client->PublishToTopic("last/words", "bye");
        if (how == "delete")
            client.reset();
        else if (how != "Disconnect")
            QVERIFY(QMetaObject::invokeMethod(&manager, qPrintable(how)));

        QTRY_VERIFY_WITH_TIMEOUT(broker->logContains("Received DISCONNECT from " + id), kWait);
        QCOMPARE(delivered, how == "Disconnect" ? QStringList{"0"} : QStringList());
        QCOMPARE(logged().filter("Message: ").size(), delivered.size());
        QCOMPARE(connected.size(), client ? 2 : 1); // nothing from the destructor
        QCOMPARE(stateTrail(), Connects + Trail{Down});
        QCOMPARE(broker->logCount("Received PUBLISH from " + id), 1);
        if (!client)
            return;
        // Host, port and credentials stay; the facade also forgets the topics. After a sign-out
        // only the next sign-in opens connections again.
        client->SetConnectionsOpen(true);
        client->Connect();
        QVERIFY(connected.wait(kWait));
        QCOMPARE(broker->logCount("u'dash')."), 2);
        // Subscriptions follow the CONNACK at once, so one added now shows whether any came before.
        client->AddSubscriptionToTopic("marker");
        const QStringList expected = how == "Disconnect" ? QStringList{"t/1", "t/1", "marker"}
                                                         : QStringList{"t/1", "marker"};
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions(id), expected, kWait);
        // Sign-out and disconnectDashboardMqtt also turned automatic reconnect off.
        QVERIFY(scheduled.isEmpty());
        broker->kill();
        QVERIFY(connected.wait(kWait));
        QCOMPARE(scheduled.size(), how == "Disconnect" ? 1 : 0);
    }

    void reconfigureWhileConnected()
    {
        ViewModel manager;
        MqttClient client;
        client.SetClientId(id);
        manager.setMqttClient(&client);
        QSignalSpy connected(&client, &MqttClient::connectedChanged);
        const QString host = broker->host();
        const int port = broker->port();
        // From a connectedChanged(true) slot, before any subscription: DISCONNECT and a new lookup
        // within the call, then exactly the new topics. Blanks are dropped by the facade,
        // duplicates by the client; other values become text. A topic added from that slot on
        // the next connections is subscribed at once, and only once.
        Trail trailAfterCall;
        connect(&client, &MqttClient::connectedChanged, this, [&](bool isConnected) {
            if (isConnected && trailAfterCall.isEmpty()) {
                QVERIFY(manager.configureDashboardMqtt(
                    " " + host, port, {"new/a", " new/b ", "", "  ", "new/a", "new/b", 42}));
                trailAfterCall = stateTrail();
            } else if (isConnected) {
                client.AddSubscriptionToTopic("late");
            }
        });
        QVERIFY(manager.configureDashboardMqtt(host, port, {"old"}));
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 3, kWait);
        QCOMPARE(trailAfterCall, Connects + Trail({Down, Lookup}));
        const QStringList fresh{"new/a", "new/b", "42"};
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions(id), QStringList{"late"} + fresh, kWait);

        // Refused configurations change nothing, the connection included. Besides the state
        // changes these are all the client logged.
        QVERIFY(!manager.configureDashboardMqtt(host, 0, {"other"}));
        QVERIFY(!manager.configureDashboardMqtt(host, 65536, {"other"}));
        QVERIFY(!manager.configureDashboardMqtt(" \t ", port, {"other"}));
        QVERIFY(!client.ConfigureAndConnect(" 127.0.0.1 ", 0, {"other"}));
        QCOMPARE(logged().filter(OtherLine),
                 (QStringList{"Invalid MQTT port: 0", "Invalid MQTT port: 65536",
                              "Invalid MQTT connection configuration \"\" " + QString::number(port),
                              "Invalid MQTT connection configuration \"127.0.0.1\" 0"}));
        QVERIFY(client.isConnected());
        client.Disconnect();
        client.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscriptions(id),
                                  QStringList{"late"} + fresh + fresh + QStringList{"late"}, kWait);
        QCOMPARE(broker->logCount("Received DISCONNECT from " + id), 2);
        QCOMPARE(broker->logCount("UNSUBSCRIBE"), 0);

        // A port above 65535 is the library's to refuse; it must not wrap round to the broker's.
        QVERIFY(client.ConfigureAndConnect(host, 65536 + port, {"other"}));
        QTRY_COMPARE_WITH_TIMEOUT(stateTrail().mid(stateTrail().size() - 4),
                                  Trail({Up, Down, Lookup, Down}), kWait);
        // The library's text for it changed wording after 2.0.11.
        QCOMPARE(logged().filter(OtherLine).constLast(),
                 QString("Could not connect to MQTT broker: ") +
                     mosquitto_strerror(MOSQ_ERR_INVAL));
        QCOMPARE(broker->logCount("New client connected"), 3);
    }
};

QTEST_MAIN(TestMqttClient)
#include "tst_mqttclient.moc"
