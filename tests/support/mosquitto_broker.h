#pragma once

#include <QPair>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>

struct mosquitto;

// A real mosquitto broker for tests, listening on loopback on a free port. Its configuration,
// password file and log (every log type, no timestamps) live in a private temporary directory.
// Stopped by PID: SIGTERM, or SIGKILL to simulate a crash.
class MosquittoBroker
{
public:
    ~MosquittoBroker() { stop(); }

    // For the next start(). Default: 127.0.0.1; with a user name only that user may connect,
    // without one anyone may.
    void setListenAddresses(const QStringList &list) { addresses = list; }
    void setUser(const QString &name, const QString &password) { user = {name, password}; }
    // TLS on every listener with this server certificate and key (PEM); empty: plain MQTT.
    void setTls(const QString &certFile, const QString &keyFile) { tls = {certFile, keyFile}; }

    // The first start picks a port free on the first address, restarts keep it. Returns once
    // the broker reports that it is running.
    bool start();
    void stop();
    void kill();
    // The kernel still accepts connections and buffers data, the broker answers nothing.
    void pause() { sendSignal(SIGSTOP); }
    void resume() { sendSignal(SIGCONT); }

    QString host() const { return addresses.value(0); }
    quint16 port() const { return listenPort; }
    QString errorString() const { return error; }

    // Log lines of every run of this broker so far, oldest first.
    QStringList logLines() const;
    int logCount(const QString &needle) const { return int(logLines().filter(needle).size()); }
    bool logContains(const QString &needle) const { return logCount(needle) > 0; }
    // Topics subscribed at QoS 0 by clients whose id matches a pattern, in order.
    QStringList subscriptions(const QString &clientId) const;
    // Bytes sent by the broker that sit unread in its clients' sockets on this machine (IPv4).
    qint64 unreadByClients() const;
    // Waits, without processing events, until at least `count` log lines contain `needle`.
    bool waitForLogCount(const QString &needle, int count) const;
    // Waits, without processing events, until at least `bytes` sit unread there.
    bool waitForUnreadByClients(qint64 bytes) const;

    // mosquitto_pub, QoS 0; the payload goes through stdin unchanged (empty included).
    bool publish(const QString &topic, const QByteArray &payload,
                 const QStringList &extraArgs = {}) const;
    // Every entry as its own message, back to back over one connection.
    bool publishEach(const QString &topic, const QList<QByteArray> &payloads) const;

private:
    bool isRunning() const { return process.state() != QProcess::NotRunning; }
    void sendSignal(int number)
    {
        if (isRunning())
            ::kill(pid_t(process.processId()), number);
    }
    bool writeFiles();
    bool launch();
    bool runPublisher(const QStringList &args, const QByteArray &input) const;

    QTemporaryDir dir;
    QProcess process;
    QStringList addresses{QStringLiteral("127.0.0.1")};
    QPair<QString, QString> user;
    QPair<QString, QString> tls;
    quint16 listenPort = 0;
    QString error;
};

// A second client of the broker that answers every message on one topic at once, from its own
// network thread, with the same payload on another topic. Its client id is "echo".
class EchoPeer
{
public:
    EchoPeer(const QString &from, const QString &to) : in(from.toUtf8()), out(to.toUtf8()) {}
    ~EchoPeer();
    EchoPeer(const EchoPeer &) = delete;
    EchoPeer &operator=(const EchoPeer &) = delete;

    // Connects and asks for the subscription; the broker's log shows when it has it.
    bool start(const MosquittoBroker &broker);

private:
    const QByteArray in, out;
    mosquitto *peer = nullptr;
};
