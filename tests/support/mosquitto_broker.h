#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real mosquitto broker for tests: listens on loopback on a free port, with a configuration
// file, an optional password file and a log file (every log type, no timestamps) written into
// a private temporary directory. Stopped by PID with SIGTERM, or SIGKILL to simulate a crash.
//
//   MosquittoBroker broker;
//   QVERIFY2(broker.start(), qPrintable(broker.errorString()));
//   client.ConfigureAndConnect(broker.host(), broker.port(), {"a/b"});
//   QTRY_VERIFY(broker.logContains("Received SUBSCRIBE from"));
class MosquittoBroker
{
public:
    MosquittoBroker();
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker &) = delete;
    MosquittoBroker &operator=(const MosquittoBroker &) = delete;

    // Set before start(). Default: one listener on 127.0.0.1, anonymous clients allowed.
    // Adding a user writes a password file and refuses anonymous clients.
    void setListenAddresses(const QStringList &addresses);
    void addUser(const QString &name, const QString &password);

    // Picks a free port on the first start (kept across restarts), writes the configuration,
    // starts the broker and waits until it reports that it is running.
    bool start();
    void stop(); // SIGTERM, waits for the exit
    void kill(); // SIGKILL, waits for the exit
    // SIGSTOP/SIGCONT: the kernel still accepts connections and buffers data, the broker answers
    // nothing until resumed.
    void pause();
    void resume();
    bool isRunning() const;

    QString host() const { return addresses.value(0); }
    quint16 port() const { return listenPort; }
    qint64 pid() const;
    QString errorString() const { return error; }
    QString logFilePath() const;

    // Log lines written so far by every run of this broker, oldest first.
    QStringList logLines() const;
    bool logContains(const QString &needle) const;
    int logCount(const QString &needle) const; // lines containing needle

    // Runs mosquitto_pub against this broker (QoS 0); the payload goes through stdin so any
    // bytes, including an empty payload, are sent unchanged.
    bool publish(const QString &topic, const QByteArray &payload,
                 const QStringList &extraArgs = {}) const;
    // Publishes every entry as its own message from one mosquitto_pub connection, back to back.
    bool publishEach(const QString &topic, const QList<QByteArray> &payloads) const;

private:
    bool pickPort();
    bool writeFiles();
    bool launch();
    bool runPublisher(const QStringList &args, const QByteArray &input) const;

    QTemporaryDir dir;
    QProcess process;
    QStringList addresses{QStringLiteral("127.0.0.1")};
    QList<QPair<QString, QString>> users;
    quint16 listenPort = 0;
    QString error;
};
