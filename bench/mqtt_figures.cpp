#include "mqtt_figures.h"

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <ctime>

#include <mosquitto.h>

namespace bench {

namespace {
constexpr int PayloadBytes = 32;
constexpr int ReadyTimeoutMs = 30000;
constexpr int WarmUpPings = 200;
// The driver's clients sit idle while other figures are taken.
constexpr int KeepAliveSeconds = 3600;

mosquitto *connectClient(const BrokerAddress &broker, const char *id, void *self)
{
    mosquitto *client = mosquitto_new(id, true, self);
    if (client && mosquitto_connect(client, broker.host.toUtf8().constData(), broker.port,
                                    KeepAliveSeconds) == MOSQ_ERR_SUCCESS)
        return client;
    mosquitto_destroy(client);
    return nullptr;
}
} // namespace

MqttDriver::~MqttDriver()
{
    for (mosquitto *client : {publisher, pinger}) {
        if (client) {
            mosquitto_disconnect(client);
            mosquitto_destroy(client);
        }
    }
}

bool MqttDriver::connect()
{
    publisher = connectClient(address, "bench-publisher", this);
    pinger = connectClient(address, "bench-pinger", this);
    if (!publisher || !pinger)
        return false;
    mosquitto_message_callback_set(pinger, &MqttDriver::onMessage);
    const BrokerLog log(address.log);
    const int before =
        log.subscriptions(QStringLiteral("bench/pong"), QStringLiteral("bench-pinger"));
    mosquitto_subscribe(pinger, nullptr, "bench/pong", 0);
    const qint64 deadline = nowNs() + qint64(ReadyTimeoutMs) * 1000000;
    while (log.subscriptions(QStringLiteral("bench/pong"), QStringLiteral("bench-pinger")) <=
           before) {
        if (nowNs() > deadline || mosquitto_loop(pinger, 10, 1) != MOSQ_ERR_SUCCESS)
            return false;
    }
    return true;
}

bool MqttDriver::publishBurst(int count)
{
    char payload[PayloadBytes];
    std::memset(payload, 'x', sizeof payload);
    // Without a network thread every publish writes what the socket takes at once; the rest
    // waits in the library's queue for the loop below.
    for (int i = 0; i < count; ++i)
        if (mosquitto_publish(publisher, nullptr, "bench/tp", PayloadBytes, payload, 0, false) !=
            MOSQ_ERR_SUCCESS)
            return false;
    while (mosquitto_want_write(publisher))
        if (mosquitto_loop(publisher, 100, 1) != MOSQ_ERR_SUCCESS)
            return false;
    return true;
}

bool MqttDriver::publishAtRate(int perSecond, const std::function<bool()> &done, int timeoutMs)
{
    char payload[PayloadBytes];
    const qint64 started = nowNs();
    const qint64 deadline = started + qint64(timeoutMs) * 1000000;
    qint64 sent = 0;
    while (!done()) {
        const qint64 now = nowNs();
        if (now > deadline)
            return false;
        // Catch up with the schedule every half millisecond: at 20,000/s about ten at a time.
        const qint64 due = (now - started) * perSecond / 1000000000;
        for (; sent < due; ++sent) {
            std::snprintf(payload, sizeof payload, "%031lld", static_cast<long long>(sent));
            if (mosquitto_publish(publisher, nullptr, "bench/flood", PayloadBytes, payload, 0,
                                  false) != MOSQ_ERR_SUCCESS)
                return false;
        }
        if (mosquitto_want_write(publisher) &&
            mosquitto_loop_write(publisher, 1) != MOSQ_ERR_SUCCESS)
            return false;
        const timespec pause{0, 500000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

qint64 MqttDriver::ping(int sequence, int timeoutMs)
{
    char payload[PayloadBytes + 1];
    std::snprintf(payload, sizeof payload, "%08d%024d", sequence, 0);
    awaited = sequence;
    answered = false;
    const qint64 started = nowNs();
    const qint64 deadline = started + qint64(timeoutMs) * 1000000;
    if (mosquitto_publish(pinger, nullptr, "bench/ping", PayloadBytes, payload, 0, false) !=
        MOSQ_ERR_SUCCESS)
        return -1;
    while (!answered) {
        const qint64 left = deadline - nowNs();
        if (left <= 0 || mosquitto_loop(pinger, int(left / 1000000) + 1, 1) != MOSQ_ERR_SUCCESS)
            return -1;
    }
    return nowNs() - started;
}

void MqttDriver::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *driver = static_cast<MqttDriver *>(self);
    // A late echo of a ping that timed out is not the answer to this one.
    if (message->payloadlen >= 8 &&
        QByteArray(static_cast<const char *>(message->payload), 8).toInt() == driver->awaited)
        driver->answered = true;
}

QProcessEnvironment MqttFigures::environment(bool debugLog) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    if (!debugLog)
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=false"));
    return env;
}

double MqttFigures::throughput(Receiver receiver, bool debugLog, int messages)
{
    const QString id = QStringLiteral("bench-tp-%1").arg(++runs);
    const QString count = QString::number(messages);
    const QString port = QString::number(address.port);
    Launch launch;
    launch.env = environment(debugLog);
    // Every receiver writes what it does per message to a file: mosquitto_sub the messages,
    // the client its debug lines.
    launch.outputFile = QDir(work).filePath(QStringLiteral("throughput-receiver.log"));
    if (receiver == Receiver::MosquittoSub) {
        launch.program = QStringLiteral("mosquitto_sub");
        launch.args =
            QStringList{"-h", address.host, "-p", port, "-i", id, "-t", "bench/tp", "-C", count};
    } else {
        launch.program = tools.peer;
        launch.args = QStringList{
            address.host, port, id, "receive", receiver == Receiver::QmlHandler ? "qml" : "cpp",
            count};
    }
    const BrokerLog log(address.log);
    const std::unique_ptr<QProcess> process = start(launch);
    if (!log.waitForSubscription(QStringLiteral("bench/tp"), id, 0, ReadyTimeoutMs)) {
        stopProcess(*process);
        return Missing;
    }
    const qint64 started = nowNs();
    const bool published = mqtt.publishBurst(messages);
    const bool finished = published && process->waitForFinished(120000);
    const qint64 ended = nowNs();
    if (!finished || process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0) {
        qWarning("throughput run %s: not all messages arrived", qPrintable(id));
        stopProcess(*process);
        return Missing;
    }
    return double(messages) / (double(ended - started) / 1e9);
}

RoundTrip MqttFigures::roundTrip(Echo echo, bool debugLog, int pings)
{
    const QString id = QStringLiteral("bench-echo-%1").arg(++runs);
    const QString port = QString::number(address.port);
    Launch launch;
    launch.env = environment(debugLog);
    launch.outputFile = QDir(work).filePath(QStringLiteral("round-trip-echo.log"));
    if (echo == Echo::LibraryThread) {
        launch.program = tools.threadEcho;
        launch.args = QStringList{address.host, port, id};
    } else {
        launch.program = tools.peer;
        launch.args =
            QStringList{address.host, port, id, "echo", echo == Echo::QmlHandler ? "qml" : "cpp"};
    }
    const BrokerLog log(address.log);
    const std::unique_ptr<QProcess> process = start(launch);
    RoundTrip result;
    if (!log.waitForSubscription(QStringLiteral("bench/ping"), id, 0, ReadyTimeoutMs)) {
        stopProcess(*process);
        return result;
    }
    int sequence = 0;
    for (int i = 0; i < WarmUpPings; ++i)
        mqtt.ping(++sequence, 2000);
    std::vector<qint64> samples;
    samples.reserve(size_t(pings));
    for (int i = 0; i < pings; ++i) {
        const qint64 ns = mqtt.ping(++sequence, 2000);
        if (ns < 0)
            ++result.lost;
        else
            samples.push_back(ns);
    }
    stopProcess(*process);
    result.p50Us = quantile(samples, 0.50) / 1000.0;
    result.p99Us = quantile(samples, 0.99) / 1000.0;
    return result;
}

Smoothness MqttFigures::smoothness(int perSecond, bool debugLog, int seconds)
{
    const QString id = QStringLiteral("bench-flood-%1").arg(++runs);
    const QString resultFile = QDir(work).filePath(QStringLiteral("flood-result.txt"));
    QFile::remove(resultFile);
    Launch launch;
    launch.env = environment(debugLog);
    launch.outputFile = QDir(work).filePath(QStringLiteral("flood-dashboard.log"));
    launch.program = tools.peer;
    launch.args = QStringList{address.host, QString::number(address.port), id,        "flood",
                              "qml",        QString::number(seconds),      resultFile};
    const BrokerLog log(address.log);
    const std::unique_ptr<QProcess> process = start(launch);
    Smoothness result;
    if (!log.waitForSubscription(QStringLiteral("bench/flood"), id, 0, ReadyTimeoutMs)) {
        stopProcess(*process);
        return result;
    }
    const int timeoutMs = (seconds + 30) * 1000;
    const bool finished =
        perSecond > 0 ? mqtt.publishAtRate(
                            perSecond, [&] { return process->waitForFinished(0); }, timeoutMs)
                      : process->waitForFinished(timeoutMs);
    if (!finished || process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0) {
        qWarning("flood run %s did not finish", qPrintable(id));
        stopProcess(*process);
        return result;
    }
    // "frames F seconds S longest_gap_ms G messages M"
    const QList<QByteArray> fields = readFile(resultFile).simplified().split(' ');
    if (fields.size() != 8)
        return result;
    const double measured = fields.at(3).toDouble();
    result.framesPerS = fields.at(1).toDouble() / measured;
    result.longestGapMs = fields.at(5).toDouble();
    result.messagesPerS = fields.at(7).toDouble() / measured;
    return result;
}

} // namespace bench
