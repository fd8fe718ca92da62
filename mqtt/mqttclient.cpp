#include "mqtt/mqttclient.h"

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJSEngine>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QUuid>

#include <algorithm>
#include <climits>
#include <mosquitto.h>

#include "app/config.h"
#include "mqtt/socket_poll.h"

namespace {
// Bound the work of one Pump, in rounds and in time, so that a busy broker or big messages
// cannot stall the GUI; a queued Pump carries on.
constexpr int MaxPumpIterations = 128;
// How much unread input closing the connection may read and drop, at most.
constexpr qint64 DrainMaxBytes = 16 * 1024 * 1024;
constexpr qint64 DrainMaxMs = 250;
// Publishes are refused while this much waits unsent in the library's queue; the queue can
// exceed it by one message.
constexpr qint64 MaxQueuedPublishBytes = 8 * 1024 * 1024;
constexpr qint64 PublishHeaderBytes = 7; // fixed header with the longest length, topic length
// A message this big that QML has seen is collected from the JavaScript heap at once rather
// than at its next collection, which may come only after the next big message has arrived.
constexpr qint64 CollectAfterBytes = 16 * 1024 * 1024;
constexpr int KeepAliveSeconds = 60;
constexpr int FirstReconnectDelayMs = 1000;
constexpr int MaxReconnectDelayMs = 60000;
constexpr int PumpIntervalMs = 1000;
constexpr int InvalidSocket = -1;
// A pause this long between two deliveries means the event loop went idle meanwhile.
constexpr qint64 IdleGapNs = 1000000;

// Printable ASCII without the quote and the backslash: what the debug stream quotes as it is.
bool isPlainChar(char32_t c)
{
    return c >= U' ' && c <= U'~' && c != U'"' && c != U'\\';
}

bool isPlainText(const QByteArray &bytes)
{
    return std::all_of(bytes.cbegin(), bytes.cend(),
                       [](char c) { return isPlainChar(static_cast<unsigned char>(c)); });
}

bool isPlainText(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return isPlainChar(c.unicode()); });
}

// The line of a received message, exactly as qDebug() << topic << " Message: " << payload
// writes it. The stream quotes and escapes character by character, and copies the line into
// its buffer; plain text needs neither, so such a line is put together in one go from the raw
// bytes and handed to the logger as it is.
void logReceived(const QString &topic, const QByteArray &payload)
{
    if (!isPlainText(topic) || !isPlainText(payload)) {
        qDebug() << topic << " Message: " << payload;
        return;
    }
    QString line;
    line.reserve(topic.size() + payload.size() + 16);
    line += u'"';
    line += topic;
    line += QLatin1String("\"  Message:  \"");
    line += QLatin1String(payload);
    line += u'"';
    const QMessageLogContext context(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC,
                                     "default");
    qt_message_output(QtDebugMsg, context, line);
}

// CORVALEN_MQTT_MAX_INCOMING_BYTES: a positive number of bytes; anything else means no limit.
qint64 maxIncomingBytes()
{
    bool ok = false;
    const qint64 value =
        configValue(QStringLiteral("CORVALEN_MQTT_MAX_INCOMING_BYTES")).toLongLong(&ok);
    return ok && value > 0 ? value : 0;
}
} // namespace

int reconnectDelayMs(int attempt, double jitter)
{
    int delay = FirstReconnectDelayMs;
    for (int i = 0; i < attempt && delay < MaxReconnectDelayMs; ++i)
        delay *= 2;
    delay = qMin(delay, MaxReconnectDelayMs);
    return delay - int(qBound(0.0, jitter, 1.0) * delay / 2);
}

MqttClient::MqttClient(QObject *parent) : MqttClientAddedSignals(parent)
{
    mosquitto_lib_init();
    pump_timer.setInterval(PumpIntervalMs);
    connect(&pump_timer, &QTimer::timeout, this, &MqttClient::Pump);
    resume_timer.setSingleShot(true);
    connect(&resume_timer, &QTimer::timeout, this, [this] {
        stepped_aside = false;
        if (read_notifier && mosq && mosquitto_socket(mosq) != InvalidSocket)
            read_notifier->setEnabled(true); // the Pump sets write interest as it ends
        Pump();
    });
    busy_clock.start();
    // Every pass of an event loop, nested ones included, begins with one of these signals: a
    // slot that waits in a loop of its own still gets its publishes out.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                &MqttClient::WakeForHeldReplies);
        connect(dispatcher, &QAbstractEventDispatcher::awake, this,
                &MqttClient::WakeForHeldReplies);
        loop_entry_watched = true;
    }
    reconnect_timer.setSingleShot(true);
    connect(&reconnect_timer, &QTimer::timeout, this, [this] {
        if (state == Disconnected)
            StartHostLookup();
    });
}

MqttClient::~MqttClient()
{
    // QML may still hold bindings on `connected`; a dying object must not notify them.
    const bool wasBlocked = blockSignals(true);
    AbortAndDisconnect();
    mosquitto_lib_cleanup();
    blockSignals(wasBlocked);
}

void MqttClient::SetPort(uint value)
{
    port = value;
}

void MqttClient::SetWebSocketPort(uint value)
{
    web_socket_port = value;
}

void MqttClient::SetHostName(QString host)
{
    host_name = host;
}

void MqttClient::SetUserName(QString username)
{
    user_name = username;
}

void MqttClient::SetPassword(QString value)
{
    password = value;
}

void MqttClient::SetClientId(QString value)
{
    client_id = value;
}

void MqttClient::SetState(ConnectionState new_state)
{
    if (new_state == state)
        return;
    const bool wasConnected = state == Connected;
    state = new_state;
    qDebug() << QString(QDateTime::currentDateTime().toString(Qt::TextDate) + ": State Change" +
                        QString::number(int(new_state)) + "\n");
    const bool isNowConnected = state == Connected;
    if (wasConnected != isNowConnected)
        emit connectedChanged(isNowConnected);
}

void MqttClient::Connect()
{
    connect_pending = true;
    if (state != Disconnected)
        return;
    connect_pending = false;
    StartHostLookup();
}

void MqttClient::Disconnect()
{
    connect_pending = false;
    AbortAndDisconnect();
}

void MqttClient::SetAutoReconnect(bool enabled)
{
    auto_reconnect = enabled;
    if (!enabled) {
        reconnect_timer.stop();
        reconnect_attempts = 0;
    }
}

void MqttClient::SetTls(bool enabled, QString ca_file)
{
    tls_enabled = enabled;
    tls_ca_file = ca_file;
}

void MqttClient::ResetConfiguration()
{
    connect_pending = false;
    SetAutoReconnect(false);
    // Sign-out resets through here: the next user's dashboard must not inherit TLS and its CA.
    SetTls(false, QString());
    const QPointer<MqttClient> alive(this); // a connectedChanged slot may delete the client
    AbortAndDisconnect();
    if (alive)
        topics.clear();
}

bool MqttClient::ConfigureAndConnect(QString new_host, uint new_port, QStringList new_topics)
{
    const QString trimmedHost = new_host.trimmed();
    if (new_port == 0 || trimmedHost.isEmpty()) {
        qDebug() << "Invalid MQTT connection configuration" << trimmedHost << new_port;
        return false;
    }

    QStringList cleaned;
    for (const QString &topic : std::as_const(new_topics)) {
        const QString trimmed = topic.trimmed();
        if (!trimmed.isEmpty() && !cleaned.contains(trimmed))
            cleaned.append(trimmed);
    }
    topics = cleaned;
    port = new_port;
    web_socket_port = new_port;
    host_name = trimmedHost;

    const QPointer<MqttClient> alive(this);
    AbortAndDisconnect();
    if (!alive) // deleted by a connectedChanged slot
        return true;

    // A slot on connectedChanged(false) may already have started a connection; then wait.
    connect_pending = true;
    if (state == Disconnected) {
        connect_pending = false;
        StartHostLookup();
    }
    return true;
}

void MqttClient::StartHostLookup()
{
    if (!connections_open) {
        qWarning() << "Not connecting to the MQTT broker: the session has ended";
        return;
    }
    if (host_name.isEmpty()) {
        qDebug() << "Could not connect to MQTT broker: host name is not set";
        return;
    }
    broker_addresses.clear();
    reconnect_timer.stop();
    attempt_final = false;
    SetState(Resolving);
    // The result is always delivered through the event loop, so storing the id afterwards is safe.
    lookup_id = QHostInfo::lookupHost(host_name, this, &MqttClient::HostLookedUp);
}

void MqttClient::HostLookedUp(QHostInfo host_info)
{
    if (state != Resolving)
        return;
    if (host_info.lookupId() != lookup_id)
        return;
    lookup_id = -1;

    if (host_info.error() != QHostInfo::NoError)
        qDebug() << "Could not resolve MQTT broker host:" << host_info.errorString();
    // A name that does not exist will not exist in a minute either; other failures may pass.
    if (host_info.error() == QHostInfo::HostNotFound)
        attempt_final = true;

    // Literal addresses only: the library must never resolve (and block) on the GUI thread.
    const QList<QHostAddress> addresses = host_info.addresses();
    for (const QHostAddress &address : addresses)
        broker_addresses.append(address.toString());

    ConnectToNextAddress();
}

void MqttClient::ConnectToNextAddress()
{
    while (!broker_addresses.isEmpty()) {
        const QString address = broker_addresses.takeFirst();
        if (ConnectToAddress(address)) {
            SetState(Connecting);
            return;
        }
    }
    EndAttempt();
}

void MqttClient::EndAttempt()
{
    // Back at Disconnected on its own: the attempt failed or the connection ended. Slots on
    // connectedChanged(false) may start a connection or call Disconnect(), which both cancel
    // the retry; the alive guard covers a slot that deletes the client.
    const QPointer<MqttClient> alive(this);
    reconnect_wanted = auto_reconnect && !attempt_final;
    SetState(Disconnected);
    if (!alive)
        return;
    ConnectIfPending();
    if (reconnect_wanted && auto_reconnect && state == Disconnected)
        ScheduleReconnect();
    reconnect_wanted = false;
}

void MqttClient::ScheduleReconnect()
{
    const int delayMs =
        reconnectDelayMs(reconnect_attempts++, QRandomGenerator::global()->generateDouble());
    const int seconds = (delayMs + 999) / 1000;
    reconnect_timer.start(delayMs);
    qDebug() << "Reconnecting to MQTT broker in" << seconds << "s";
    emit reconnectScheduled(seconds);
}

bool MqttClient::ConnectToAddress(const QString &address)
{
    QString id = client_id;
    if (id.isEmpty()) {
        // 23 characters is the longest identifier every MQTT 3.1.1 broker must accept.
        id = QUuid::createUuid().toString(QUuid::Id128).left(23);
    }

    mosq = mosquitto_new(id.toUtf8().constData(), true, this);
    if (!mosq) {
        qDebug() << "Could not create MQTT client";
        return false;
    }

    SetUpSession();
    if (tls_enabled && !UseTls()) {
        Teardown();
        broker_addresses.clear(); // the other addresses would fail the same way
        return false;
    }

    const int rc =
        mosquitto_connect_async(mosq, address.toUtf8().constData(), int(port), KeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        ReportTlsVerifyFailure(); // the handshake may have run within the call
        qDebug() << "Could not connect to MQTT broker:" << mosquitto_strerror(rc);
        if (rc == MOSQ_ERR_INVAL) // the port, for one; the same call would fail again
            attempt_final = true;
        Teardown();
        return false;
    }

    connack_seen = false;
    max_incoming_bytes = maxIncomingBytes();

    const int socket = mosquitto_socket(mosq);
    read_notifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
    connect(read_notifier, &QSocketNotifier::activated, this, &MqttClient::Pump);
    // Enabled from the start: the socket turning writable completes the TCP connect.
    write_notifier = new QSocketNotifier(socket, QSocketNotifier::Write, this);
    connect(write_notifier, &QSocketNotifier::activated, this, &MqttClient::Pump);
    pump_timer.start();
    return true;
}

void MqttClient::SetUpSession()
{
    // Threaded mode makes API calls only queue packets; all socket I/O happens in Pump.
    mosquitto_threaded_set(mosq, true);
    mosquitto_connect_callback_set(mosq, &MqttClient::OnConnect);
    mosquitto_disconnect_callback_set(mosq, &MqttClient::OnDisconnect);
    mosquitto_message_callback_set(mosq, &MqttClient::OnMessage);
    mosquitto_publish_callback_set(mosq, &MqttClient::OnPublish);

    if (!user_name.isEmpty()) {
        const QByteArray user = user_name.toUtf8();
        const QByteArray pass = password.toUtf8();
        mosquitto_username_pw_set(mosq, user.constData(),
                                  password.isEmpty() ? nullptr : pass.constData());
    }

    // Without it, a packet queued right after another (the SUBSCRIBE that follows a dashboard's
    // first publish, say) waits for the broker's delayed ACK, some 40 ms, and an answer sent
    // meanwhile finds no subscription.
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
}

bool MqttClient::UseTls()
{
    QString error;
    ssl_ctx_st *context = makeTlsContext(tls_ca_file, host_name, &tls_check, &error);
    if (!context) {
        qDebug() << "Could not connect to MQTT broker:" << qPrintable(error);
        attempt_final = true;
        return false;
    }
    // Our own context as it is: the library's defaults would verify the certificate against the
    // address it connects to rather than the host name.
    mosquitto_int_option(mosq, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    const int rc = mosquitto_void_option(mosq, MOSQ_OPT_SSL_CTX, context);
    releaseTlsContext(context); // the library holds its own reference
    if (rc != MOSQ_ERR_SUCCESS) {
        qDebug() << "Could not connect to MQTT broker:" << mosquitto_strerror(rc);
        attempt_final = true;
        return false;
    }
    return true;
}

void MqttClient::ReportTlsVerifyFailure()
{
    if (tls_check.verifyError == 0)
        return;
    // The library only says that TLS failed; say why, and do not retry a certificate.
    qDebug() << "Could not connect to MQTT broker: certificate verification failed:"
             << tlsVerifyErrorText(tls_check.verifyError);
    tls_check.verifyError = 0;
    attempt_final = true;
}

void MqttClient::ConnectIfPending()
{
    if (connect_pending && state == Disconnected) {
        connect_pending = false;
        StartHostLookup();
    }
}

void MqttClient::AbortAndDisconnect()
{
    // Closing on purpose: no automatic retry, and a fresh back-off next time.
    reconnect_timer.stop();
    reconnect_attempts = 0;
    reconnect_wanted = false;
    if (lookup_id != -1) {
        QHostInfo::abortHostLookup(lookup_id);
        lookup_id = -1;
    }
    if (mosq) {
        if (state == Connected) {
            DrainInput();
            // Flush now: Teardown closes the socket before any Pump could send it.
            mosquitto_disconnect(mosq);
            mosquitto_loop_write(mosq, 1);
        }
        Teardown();
    }
    broker_addresses.clear();
    SetState(Disconnected);
}

void MqttClient::DrainInput()
{
    // Closing a socket with unread input resets the connection, and the broker then drops what
    // it has not processed yet: our last publishes and the DISCONNECT. So read until the socket
    // is empty, within bounds that a broker flooding faster than we read cannot stretch. What
    // is read is discarded, as the Teardown that follows would.
    QElapsedTimer spent;
    spent.start();
    qint64 drained = 0;
    while (drained < DrainMaxBytes && spent.elapsed() < DrainMaxMs) {
        const int socket = mosquitto_socket(mosq);
        short events = 0;
        if (socket == InvalidSocket || pollSocketOnce(socket, false, &events) <= 0 ||
            !(events & SocketPoll::ReadMask))
            return;
        mosquitto_loop_read(mosq, 1);
        for (const ReceivedMessage &message : std::as_const(received_messages))
            drained += message.topic.size() + message.payload.size();
        received_messages.clear();
    }
}

void MqttClient::Pump()
{
    pump_scheduled = false;
    // While stepped aside, a Pump posted meanwhile leaves the reading to the resume timer.
    if (!mosq || pumping || stepped_aside)
        return;
    pumping = true;

    // Woken by the read notifier, the event loop has just seen input waiting: the first round
    // reads it without polling the socket once more.
    const bool yielded = PumpRounds(read_notifier && sender() == read_notifier);
    if (mosquitto_socket(mosq) != InvalidSocket)
        mosquitto_loop_misc(mosq);
    if (SettleSocket() && yielded)
        SchedulePump();

    pumping = false;
    ProcessEvents();
}

bool MqttClient::PumpRounds(bool inputWaiting)
{
    // The messages read here are all delivered before the Pump returns, so bounding the bytes
    // read bounds that work as well.
    QElapsedTimer spent;
    spent.start();
    pump_read_bytes = 0;
    for (int i = 0;; ++i) {
        if (i == MaxPumpIterations ||
            (i > 0 && (spent.nsecsElapsed() >= qint64(pump_budget_ms) * 1000000 ||
                       pump_read_bytes >= pump_byte_budget)))
            return true;
        const int socket = mosquitto_socket(mosq);
        if (socket == InvalidSocket)
            return false;
        void *ssl = mosquitto_ssl_get(mosq);
        const bool handshaking = tlsHandshaking(ssl);
        short events = 0;
        if (inputWaiting && !handshaking)
            events = SocketPoll::ReadNormal;
        else if (pollSocketOnce(socket, WantWrite(), &events) <= 0 || events == 0)
            return false;
        inputWaiting = false;
        if (handshaking && !tlsHandshakeStarted(ssl)) {
            if (!BeginTlsHandshake())
                return false; // still connecting
            continue;
        }
        // Once begun, the handshake is moved on by the read call only, whichever way it waits.
        if (events & SocketPoll::ReadMask)
            mosquitto_loop_read(mosq, 1);
        if (handshaking && (events & (SocketPoll::Error | SocketPoll::HangUp)) &&
            mosquitto_socket(mosq) != InvalidSocket && tlsHandshaking(mosquitto_ssl_get(mosq))) {
            // The library would retry the handshake on a failed socket without end (a refused
            // connection, for one): the attempt is over.
            disconnect_received = true;
            disconnect_code = MOSQ_ERR_CONN_LOST;
            return false;
        }
        if ((events & SocketPoll::WriteNormal) && mosquitto_socket(mosq) != InvalidSocket) {
            if (handshaking)
                mosquitto_loop_read(mosq, 1);
            else
                mosquitto_loop_write(mosq, 1);
        }
    }
}

bool MqttClient::BeginTlsHandshake()
{
    // libmosquitto 2.0.11 begins the TLS handshake within mosquitto_connect_async; newer
    // releases wait for the TCP connect to complete and begin it from mosquitto_loop_write,
    // which is also where they learn that the connect failed.
    mosquitto_loop_write(mosq, 1);
    return mosquitto_socket(mosq) == InvalidSocket || tlsHandshakeStarted(mosquitto_ssl_get(mosq));
}

bool MqttClient::SettleSocket()
{
    if (mosquitto_socket(mosq) != InvalidSocket) {
        // Write interest only while data is queued, or an idle connection would spin.
        write_notifier->setEnabled(WantWrite());
        if (!mosquitto_want_write(mosq)) // everything queued so far has been handed to the kernel
            ForgetUnsentPublishes();
        return true;
    }
    // The descriptor is closed and its number may be reused before Teardown runs (later, when
    // a Pump is nested in a delivery), so stop watching it now.
    read_notifier->setEnabled(false);
    write_notifier->setEnabled(false);
    if (!disconnect_received) {
        // The socket vanished without a callback; treat it as a lost connection.
        disconnect_received = true;
        disconnect_code = MOSQ_ERR_CONN_LOST;
    }
    return false;
}

void MqttClient::WriteReplies()
{
    // What the slots published in answer to the messages leaves now, not an event-loop pass
    // later.
    if (!mosq || mosquitto_socket(mosq) == InvalidSocket ||
        tlsHandshaking(mosquitto_ssl_get(mosq)) || !mosquitto_want_write(mosq))
        return;
    mosquitto_loop_write(mosq, 1);
    // When the write failed and the library closed the socket, the end of the connection is
    // handled right after, as after a Pump.
    SettleSocket();
}

bool MqttClient::WantWrite() const
{
    // The packets queued during a TLS handshake wait for its end; until then only the
    // handshake's own writes count, or the writable socket would wake us without end. Before
    // the handshake has begun, the TCP connect completing (the socket turning writable) is what
    // begins it.
    void *ssl = mosquitto_ssl_get(mosq);
    if (!tlsHandshaking(ssl))
        return mosquitto_want_write(mosq);
    return !tlsHandshakeStarted(ssl) || tlsWantsWrite(ssl);
}

void MqttClient::StepAsideIfBusy(qint64 deliveryStartNs)
{
    // Under a steady flood every Pump empties the socket, and by the time it returns more input
    // is waiting: the read notifier is ready at every pass of the event loop. glib's loop then
    // never gets to the lower priority at which Qt runs timers once they have fired, and with
    // them the windows' update requests: an animated dashboard stops drawing. So after a run of
    // busy Pumps, stop listening to the socket and carry on from a timer, after those that are
    // due; a Pump posted meanwhile (a yield, a publish) waits for it too, or it would go on
    // reading at the loop's normal priority. Nothing is dropped and the order stays: the input
    // waits in the socket.
    const qint64 now = busy_clock.nsecsElapsed();
    if (busy_since_ns < 0 || deliveryStartNs - last_delivery_end_ns > IdleGapNs)
        busy_since_ns = deliveryStartNs;
    last_delivery_end_ns = now;
    if (now - busy_since_ns < busy_limit_ns || !read_notifier || resume_timer.isActive())
        return;
    busy_since_ns = -1;
    stepped_aside = true;
    // Both: a writable socket would wake the loop for a Pump that does nothing, without end.
    read_notifier->setEnabled(false);
    write_notifier->setEnabled(false);
    resume_timer.start(0);
}

void MqttClient::SchedulePump()
{
    if (pump_scheduled)
        return;
    pump_scheduled = true;
    QMetaObject::invokeMethod(this, &MqttClient::Pump, Qt::QueuedConnection);
}

void MqttClient::WakeForHeldReplies()
{
    if (!replies_held)
        return;
    replies_held = false;
    SchedulePump();
}

void MqttClient::Teardown()
{
    ++teardown_generation;
    pump_timer.stop();
    resume_timer.stop();
    stepped_aside = false;
    busy_since_ns = -1;
    // Never delete directly: Teardown may run inside the notifier's own activated signal.
    for (QSocketNotifier **notifier : {&read_notifier, &write_notifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    if (mosq) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    received_messages.clear();
    ForgetUnsentPublishes();
    delivering = false;
    replies_held = false;
    connack_received = false;
    disconnect_received = false;
}

void MqttClient::ProcessEvents()
{
    // A slot may run a nested event loop (a native message box) while messages are delivered.
    // The Pumps in there only read; the delivery below goes on in arrival order and then
    // handles the end of the connection, if one was read.
    if (delivering)
        return;
    // Slots reached from here may delete the client, or tear the connection down.
    const QPointer<MqttClient> alive(this);
    const quint64 generation = teardown_generation;

    if (connack_received && !HandleConnack(alive, generation))
        return;
    if (!DeliverReceived(alive, generation))
        return;
    if (disconnect_received)
        HandleDisconnect();
}

bool MqttClient::HandleConnack(const QPointer<MqttClient> &alive, quint64 generation)
{
    connack_received = false;
    connack_seen = true;
    if (connack_code != 0) {
        // The library reports the disconnection that follows a refusal.
        qDebug() << "MQTT connection refused:" << mosquitto_connack_string(connack_code);
        attempt_final = true;
        return true;
    }
    // A topic that a connectedChanged slot adds is subscribed there at once; subscribe the list
    // as it was before, so that it goes out only once.
    const QStringList listed = topics;
    connected_since.start();
    SetState(Connected);
    if (!alive || teardown_generation != generation)
        return false;
    SubscribeToAllTopics(listed);
    return true;
}

bool MqttClient::DeliverReceived(const QPointer<MqttClient> &alive, quint64 generation)
{
    // Messages that nested Pumps read meanwhile queue up behind the ones being delivered.
    delivering = true;
    bool delivered = false;
    const qint64 deliveryStartNs = busy_clock.nsecsElapsed();
    while (!received_messages.isEmpty()) {
        ReceivedMessage message = received_messages.takeFirst();
        // qDebug() formats its line before the logging rules are asked; with the debug lines
        // switched off, quoting every message would still cost a third of its delivery.
        const QLoggingCategory *log = QLoggingCategory::defaultCategory();
        if (!log || log->isDebugEnabled())
            logReceived(message.topic, message.payload);
        // One conversion, and the raw bytes gone before QML gets the text: a big message is
        // held at most twice over (bytes and text) while it is converted, and once after.
        const qint64 size = message.payload.size();
        QString text = QString::fromUtf8(message.payload);
        message.payload = QByteArray();
        emit messageReceived(message.topic, text);
        if (!alive || teardown_generation != generation)
            return false;
        delivered = true;
        if (size >= CollectAfterBytes) {
            text = QString();
            if (QJSEngine *engine = qjsEngine(this))
                engine->collectGarbage();
        }
    }
    delivering = false;
    if (delivered) {
        WriteReplies();
        StepAsideIfBusy(deliveryStartNs);
    }
    replies_held = false;
    return true;
}

void MqttClient::HandleDisconnect()
{
    ReportTlsVerifyFailure();
    qDebug() << "DISCONNECTED" << mosquitto_strerror(disconnect_code);
    if (state == Connected && connected_since.elapsed() >= stable_connection_ms)
        reconnect_attempts = 0;
    Teardown();
    if (!connack_seen && !broker_addresses.isEmpty()) {
        ConnectToNextAddress();
        return;
    }
    // Once a broker has answered, its verdict stands; other addresses are not tried.
    if (connack_seen)
        broker_addresses.clear();
    EndAttempt();
}

void MqttClient::AddSubscriptionToTopic(QString topic)
{
    const QString trimmed = topic.trimmed();
    if (trimmed.isEmpty() || topics.contains(trimmed))
        return;
    topics.append(trimmed);
    if (state == Connected)
        SubscribeToTopic(trimmed);
}

void MqttClient::SubscribeToTopic(const QString &topic)
{
    const QByteArray utf8 = topic.toUtf8();
    if (mosquitto_subscribe(mosq, nullptr, utf8.constData(), 0) == MOSQ_ERR_SUCCESS)
        SchedulePump();
    else
        qDebug() << "Could not subscribe to topic:" << topic;
}

void MqttClient::SubscribeToAllTopics(const QStringList &list)
{
    for (const QString &topic : list)
        SubscribeToTopic(topic);
}

void MqttClient::PublishToTopic(QString topic, QString message)
{
    const QByteArray payload = message.toUtf8();
    // A length the library's int cannot carry would be truncated into a different message. A
    // broker that stopped reading must not make the queue grow without end.
    if (state == Connected && payload.size() <= INT_MAX &&
        unsent_publish_bytes < MaxQueuedPublishBytes) {
        // A dashboard answering on one topic sends the same text each time.
        if (topic != last_publish_topic) {
            last_publish_topic = topic;
            last_publish_topic_utf8 = topic.toUtf8();
        }
        const QByteArray &utf8Topic = last_publish_topic_utf8;
        if (mosquitto_publish(mosq, nullptr, utf8Topic.constData(), int(payload.size()),
                              payload.constData(), 0, false) == MOSQ_ERR_SUCCESS) {
            const qint64 size = PublishHeaderBytes + utf8Topic.size() + payload.size();
            unsent_publishes.append(size);
            unsent_publish_bytes += size;
            // An answer from a messageReceived slot is written as the delivery ends; posting a
            // Pump for it would cost a wake-up of the loop before the answer leaves, and a pass
            // of the loop after it.
            if (delivering && loop_entry_watched)
                replies_held = true;
            else
                SchedulePump();
            return;
        }
    }
    qDebug() << "Could not publish message";
}

void MqttClient::OnConnect(struct mosquitto *, void *obj, int rc)
{
    // Callbacks run inside library calls: record only, act later in ProcessEvents.
    auto *self = static_cast<MqttClient *>(obj);
    self->connack_received = true;
    self->connack_code = rc;
}

void MqttClient::OnPublish(struct mosquitto *, void *obj, int)
{
    // For QoS 0, which is all we publish, the library calls this once the packet has been
    // written whole, and the packets leave in the order they were published. (For QoS 1 and 2 it
    // would come with the broker's acknowledgement, later than the write: counting until then
    // would only err on the safe side.)
    auto *self = static_cast<MqttClient *>(obj);
    if (!self->unsent_publishes.isEmpty())
        self->unsent_publish_bytes -= self->unsent_publishes.takeFirst();
}

void MqttClient::ForgetUnsentPublishes()
{
    unsent_publishes.clear();
    unsent_publish_bytes = 0;
}

void MqttClient::OnDisconnect(struct mosquitto *, void *obj, int rc)
{
    auto *self = static_cast<MqttClient *>(obj);
    self->disconnect_received = true;
    self->disconnect_code = rc;
}

void MqttClient::OnMessage(struct mosquitto *, void *obj, const struct mosquitto_message *message)
{
    auto *self = static_cast<MqttClient *>(obj);
    ReceivedMessage received;
    // Dashboards mostly hear a few topics again and again: the last one's text is shared rather
    // than decoded and allocated for every message.
    const QByteArrayView topic(message->topic ? message->topic : "");
    if (topic != QByteArrayView(self->last_topic_utf8)) {
        self->last_topic_utf8 = topic.toByteArray();
        self->last_topic = message->topic ? QString::fromUtf8(topic) : QString();
    }
    received.topic = self->last_topic;
    self->pump_read_bytes += received.topic.size() + qMax(message->payloadlen, 0);
    if (self->max_incoming_bytes > 0 && message->payloadlen > self->max_incoming_bytes) {
        qWarning() << "Dropped an MQTT message over CORVALEN_MQTT_MAX_INCOMING_BYTES:"
                   << received.topic << message->payloadlen << "bytes";
        return;
    }
    // The only copy of the payload we make: the library frees its own when this returns.
    if (message->payload && message->payloadlen > 0)
        received.payload =
            QByteArray(static_cast<const char *>(message->payload), message->payloadlen);
    self->received_messages.append(std::move(received));
}
