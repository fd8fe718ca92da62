#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "mqtt/tls_context.h"

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;

// Delay before automatic reconnect attempt `attempt` (0 for the first after a loss): 1 s doubling
// to 60 s, of which a random half (`jitter` in [0, 1)) is taken off so that many clients of one
// broker spread out.
int reconnectDelayMs(int attempt, double jitter);

struct ReceivedMessage
{
    QString topic;
    QByteArray payload;
};

// Signals added after MqttClient's first interface. moc numbers all signals of a class before
// its slots and invokables, so a signal declared in MqttClient itself would move the index of
// every slot and invokable there; declared in this base, it leaves them where they were.
class MqttClientAddedSignals : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    // With automatic reconnect on: the next attempt starts in about this many seconds.
    void reconnectScheduled(int seconds);
};

class MqttClient : public MqttClientAddedSignals
{
    Q_OBJECT
    friend class TestMqttClient;
    Q_PROPERTY(bool connected READ isConnected NOTIFY connectedChanged)
public:
    enum ConnectionState
    {
        Disconnected = 0,
        Resolving = 1,
        Connecting = 2,
        Connected = 3
    };
    Q_ENUM(ConnectionState)

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    bool isConnected() const { return state == Connected; }
    // While closed, no connection attempt starts, whoever asks: the view model closes it when
    // the user signs out, for the dashboard that may run on until it is released.
    void SetConnectionsOpen(bool open) { connections_open = open; }

signals:
    void connectedChanged(bool connected);
    void messageReceived(QString topic, QString message);

private slots:
    void HostLookedUp(QHostInfo host_info);
    void Pump();

public:
    // QML sees these argument names; the definitions use others, which would shadow members.
    // NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
    Q_INVOKABLE void SetPort(uint port);
    Q_INVOKABLE void SetWebSocketPort(uint port);
    Q_INVOKABLE void SetHostName(QString host);
    Q_INVOKABLE void SetUserName(QString username);
    Q_INVOKABLE void SetPassword(QString password);
    Q_INVOKABLE void SetClientId(QString client_id);
    // NOLINTEND(readability-inconsistent-declaration-parameter-name)
    Q_INVOKABLE void Connect();
    Q_INVOKABLE void Disconnect();
    Q_INVOKABLE bool ConfigureAndConnect(QString host, uint port, QStringList topics);
    Q_INVOKABLE void ResetConfiguration();
    Q_INVOKABLE void PublishToTopic(QString topic, QString message);
    Q_INVOKABLE void AddSubscriptionToTopic(QString topic);
    // Retry when an attempt fails or a connection is lost, unless retrying cannot help. Off by
    // default; takes effect when an attempt next ends; ResetConfiguration turns it off again.
    Q_INVOKABLE void SetAutoReconnect(bool enabled);
    // TLS with the broker's certificate and host name always verified: against the CA
    // certificates in ca_file, or the system's trust store when it is empty. Off by default;
    // takes effect at the next attempt; ResetConfiguration turns it off again.
    Q_INVOKABLE void SetTls(bool enabled, QString ca_file);

private:
    void SetState(ConnectionState new_state);
    void StartHostLookup();
    void ConnectToNextAddress();
    bool ConnectToAddress(const QString &address);
    void SetUpSession();
    bool UseTls();
    void ReportTlsVerifyFailure();
    void ConnectIfPending();
    void EndAttempt();
    void ScheduleReconnect();
    void AbortAndDisconnect();
    void DrainInput();
    void SchedulePump();
    void WakeForHeldReplies();
    void StepAsideIfBusy(qint64 deliveryStartNs);
    void WriteReplies();
    bool WantWrite() const;
    void Teardown();
    void ProcessEvents();
    // Each returns false when a slot it reached deleted the client or tore the connection down.
    bool HandleConnack(const QPointer<MqttClient> &alive, quint64 generation);
    bool DeliverReceived(const QPointer<MqttClient> &alive, quint64 generation);
    void HandleDisconnect();
    // Reads and writes until nothing is waiting; true when it stopped for its budget instead.
    bool PumpRounds(bool inputWaiting);
    bool BeginTlsHandshake();
    // Watches the socket as its state asks; false when the library has closed it.
    bool SettleSocket();
    void SubscribeToTopic(const QString &topic);
    void SubscribeToAllTopics(const QStringList &list);

    static void OnConnect(struct mosquitto *m, void *obj, int rc);
    static void OnDisconnect(struct mosquitto *m, void *obj, int rc);
    static void OnMessage(struct mosquitto *m, void *obj, const struct mosquitto_message *message);
    static void OnPublish(struct mosquitto *m, void *obj, int mid);
    void ForgetUnsentPublishes();

    struct mosquitto *mosq = nullptr;
    ConnectionState state = Disconnected;
    QTimer pump_timer;
    QSocketNotifier *read_notifier = nullptr;
    QSocketNotifier *write_notifier = nullptr;
    QString host_name;
    QString user_name;
    QString password;
    QString client_id;
    QStringList topics;
    quint32 port = 1883;
    quint32 web_socket_port = 8884;
    bool connect_pending = false;
    bool connections_open = true;
    QStringList broker_addresses;
    int lookup_id = -1;
    QList<ReceivedMessage> received_messages;
    QByteArray last_topic_utf8; // of the last message read, and its text
    QString last_topic;
    QString last_publish_topic; // of the last publish, and its UTF-8
    QByteArray last_publish_topic_utf8;
    bool connack_received = false;
    int connack_code = 0;
    bool disconnect_received = false;
    int disconnect_code = 0;
    bool connack_seen = false;
    quint64 teardown_generation = 0;
    bool pumping = false;
    bool pump_scheduled = false;
    bool delivering = false;
    // Publishes made during a delivery wait for it to end, or for an event loop inside it.
    bool loop_entry_watched = false;
    bool replies_held = false;
    // Sizes of the publishes the library has queued but not yet written, oldest first.
    QList<qint64> unsent_publishes;
    qint64 unsent_publish_bytes = 0;
    bool auto_reconnect = false;
    QTimer reconnect_timer;
    int reconnect_attempts = 0;    // scheduled since the last connection that lasted
    bool attempt_final = false;    // the broker or the name refused us; retrying cannot help
    bool reconnect_wanted = false; // until a slot reacting to the end of an attempt says otherwise
    QElapsedTimer connected_since;
    int stable_connection_ms = 10000; // a connection this long resets the back-off
    bool tls_enabled = false;
    QString tls_ca_file;
    TlsPeerCheck tls_check; // of the current attempt
    // A Pump yields to the event loop after this time, or after reading messages this big.
    int pump_budget_ms = 4;
    qint64 pump_byte_budget = 256 * 1024;
    qint64 pump_read_bytes = 0;
    qint64 max_incoming_bytes = 0; // of the current attempt; 0: no limit
    // Resumes reading after the Pumps stepped aside for the event loop's timers.
    QTimer resume_timer;
    QElapsedTimer busy_clock;
    // Pumps delivering messages back to back for this long step aside until the timers have run.
    qint64 busy_limit_ns = 8 * 1000000;
    bool stepped_aside = false;
    qint64 busy_since_ns = -1; // the start of the current run of back-to-back deliveries
    qint64 last_delivery_end_ns = 0;
};
