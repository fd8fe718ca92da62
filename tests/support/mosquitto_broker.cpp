#include "support/mosquitto_broker.h"

#include "support/processes.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTextStream>
#include <QThread>

#include <mosquitto.h>

namespace {
constexpr int TimeoutMs = 15000;
} // namespace

bool MosquittoBroker::writeFiles()
{
    QFile config(dir.filePath("broker.conf"));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = config.errorString();
        return false;
    }
    QTextStream out(&config);
    for (const QString &address : std::as_const(addresses)) {
        out << "listener " << listenPort << ' ' << address << '\n';
        if (!tls.first.isEmpty())
            out << "certfile " << tls.first << "\nkeyfile " << tls.second << '\n';
    }
    // As root mosquitto would otherwise switch to a user that cannot write our private log.
    out << "user root\npersistence false\nlog_type all\nlog_timestamp false\n"
        << "connection_messages true\nlog_dest file " << dir.filePath("broker.log") << '\n';
    if (user.first.isEmpty()) {
        out << "allow_anonymous true\n";
        return true;
    }
    const QString passwords = dir.filePath("passwords");
    if (!runTool("mosquitto_passwd", {"-c", "-b", passwords, user.first, user.second}).ok()) {
        error = "mosquitto_passwd failed";
        return false;
    }
    out << "allow_anonymous false\npassword_file " << passwords << '\n';
    return true;
}

bool MosquittoBroker::launch()
{
    const int runningBefore = logCount(" running");
    process.setProcessChannelMode(QProcess::MergedChannels);
    endWithTestProgram(process);
    process.start("mosquitto", {"-c", dir.filePath("broker.conf")});
    // The listeners are bound before the broker logs that it is running.
    QDeadlineTimer deadline(TimeoutMs);
    const bool started = process.waitForStarted(TimeoutMs);
    while (started && !deadline.hasExpired()) {
        if (logCount(" running") > runningBefore)
            return true;
        if (process.waitForFinished(20)) // a short bounded poll that also notices an early exit
            break;
    }
    error = "mosquitto did not come up: " + process.errorString() +
            QString::fromLocal8Bit(process.readAll()) + logLines().join('\n');
    stop();
    return false;
}

bool MosquittoBroker::start()
{
    const bool keepPort = listenPort != 0;
    for (int attempt = 0; attempt < (keepPort ? 1 : 3) && !isRunning(); ++attempt) {
        if (!keepPort) { // another process may take it before the broker binds it: then retry
            QTcpServer probe;
            if (!probe.listen(QHostAddress(host()))) {
                error = probe.errorString();
                return false;
            }
            listenPort = probe.serverPort();
        }
        if (!writeFiles())
            return false;
        launch();
    }
    return isRunning();
}

void MosquittoBroker::stop()
{
    resume(); // a stopped process would not act on SIGTERM
    sendSignal(SIGTERM);
    if (!process.waitForFinished(TimeoutMs))
        kill();
}

void MosquittoBroker::kill()
{
    sendSignal(SIGKILL);
    process.waitForFinished(TimeoutMs);
}

QStringList MosquittoBroker::logLines() const
{
    QFile file(dir.filePath("broker.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

QStringList MosquittoBroker::subscriptions(const QString &clientId) const
{
    const QRegularExpression subscription("^" + clientId + " 0 (.+)$"); // "<id> <qos> <topic>"
    QStringList topics;
    for (const QString &line : logLines())
        if (const auto match = subscription.match(line); match.hasMatch())
            topics.append(match.captured(1));
    return topics;
}

qint64 MosquittoBroker::unreadByClients() const
{
    // "<n>: <local> <remote> <state> <tx queue>:<rx queue> ..."; state 01 is established.
    const QString hexPort = QString::number(listenPort, 16).toUpper().rightJustified(4, '0');
    const QRegularExpression entry(": \\S+ [0-9A-F]+:" + hexPort + " 01 [0-9A-F]+:([0-9A-F]+)");
    QFile table("/proc/net/tcp");
    qint64 unread = 0;
    if (table.open(QIODevice::ReadOnly))
        for (auto it = entry.globalMatch(table.readAll()); it.hasNext();)
            unread += it.next().captured(1).toLongLong(nullptr, 16);
    return unread;
}

bool MosquittoBroker::waitForLogCount(const QString &needle, int count) const
{
    for (QDeadlineTimer deadline(TimeoutMs); !deadline.hasExpired(); QThread::msleep(5))
        if (logCount(needle) >= count)
            return true;
    return false;
}

bool MosquittoBroker::waitForUnreadByClients(qint64 bytes) const
{
    for (QDeadlineTimer deadline(TimeoutMs); !deadline.hasExpired(); QThread::msleep(5))
        if (unreadByClients() >= bytes)
            return true;
    return false;
}

bool MosquittoBroker::runPublisher(const QStringList &args, const QByteArray &input) const
{
    const QStringList target{"-h", host(), "-p", QString::number(listenPort)};
    return runTool("mosquitto_pub", target + args, input).ok();
}

bool MosquittoBroker::publish(const QString &topic, const QByteArray &payload,
                              const QStringList &extraArgs) const
{
    // mosquitto_pub refuses an empty stdin; -n sends the zero-length message instead.
    return runPublisher(QStringList{"-t", topic, payload.isEmpty() ? "-n" : "-s"} + extraArgs,
                        payload);
}

bool MosquittoBroker::publishEach(const QString &topic, const QList<QByteArray> &payloads) const
{
    // A library client of our own rather than mosquitto_pub -l, which now and then hangs at the
    // end of a long input under load.
    mosquitto_lib_init();
    bool acknowledged = false;
    mosquitto *publisher = mosquitto_new(nullptr, true, &acknowledged);
    if (!publisher)
        return false;
    mosquitto_connect_callback_set(
        publisher, [](mosquitto *, void *flag, int rc) { *static_cast<bool *>(flag) = rc == 0; });
    const auto loopUntil = [&](const auto &done) {
        int rc = MOSQ_ERR_SUCCESS;
        for (QDeadlineTimer deadline(TimeoutMs); !done() && rc == MOSQ_ERR_SUCCESS;)
            rc = deadline.hasExpired() ? MOSQ_ERR_UNKNOWN : mosquitto_loop(publisher, 100, 1);
        return rc;
    };
    const QByteArray topicUtf8 = topic.toUtf8();
    // The CONNACK is read before anything else: closing a socket with unread input would reset
    // the connection and lose the tail of the messages.
    bool sent = mosquitto_connect(publisher, host().toUtf8().constData(), listenPort, 60) ==
                    MOSQ_ERR_SUCCESS &&
                loopUntil([&] { return acknowledged; }) == MOSQ_ERR_SUCCESS;
    for (const QByteArray &payload : payloads)
        sent = sent &&
               mosquitto_publish(publisher, nullptr, topicUtf8.constData(), int(payload.size()),
                                 payload.constData(), 0, false) == MOSQ_ERR_SUCCESS;
    // The library closes the socket once the DISCONNECT is written; the loop then says so.
    sent = sent && mosquitto_disconnect(publisher) == MOSQ_ERR_SUCCESS &&
           loopUntil([] { return false; }) == MOSQ_ERR_NO_CONN;
    mosquitto_destroy(publisher);
    return sent;
}

EchoPeer::~EchoPeer()
{
    if (!peer)
        return;
    mosquitto_disconnect(peer);
    mosquitto_loop_stop(peer, false);
    mosquitto_destroy(peer);
}

bool EchoPeer::start(const MosquittoBroker &broker)
{
    mosquitto_lib_init();
    peer = mosquitto_new("echo", true, this);
    if (!peer)
        return false;
    // Its answers must not wait for anything either.
    mosquitto_int_option(peer, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(
        peer, [](mosquitto *m, void *self, const mosquitto_message *message) {
            mosquitto_publish(m, nullptr, static_cast<EchoPeer *>(self)->out.constData(),
                              message->payloadlen, message->payload, 0, false);
        });
    return mosquitto_connect(peer, broker.host().toUtf8().constData(), broker.port(), 60) ==
               MOSQ_ERR_SUCCESS &&
           mosquitto_subscribe(peer, nullptr, in.constData(), 0) == MOSQ_ERR_SUCCESS &&
           mosquitto_loop_start(peer) == MOSQ_ERR_SUCCESS;
}
