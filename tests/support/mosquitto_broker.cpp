#include "support/mosquitto_broker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTextStream>

#include <csignal>
#include <sys/types.h>

namespace {
constexpr int StartTimeoutMs = 15000;
constexpr int ToolTimeoutMs = 15000;
constexpr int StartAttempts = 3;
} // namespace

MosquittoBroker::MosquittoBroker()
{
    process.setProcessChannelMode(QProcess::MergedChannels);
}

MosquittoBroker::~MosquittoBroker()
{
    stop();
}

void MosquittoBroker::setListenAddresses(const QStringList &list)
{
    addresses = list;
}

void MosquittoBroker::addUser(const QString &name, const QString &password)
{
    users.append({name, password});
}

QString MosquittoBroker::logFilePath() const
{
    return dir.filePath(QStringLiteral("broker.log"));
}

qint64 MosquittoBroker::pid() const
{
    return process.processId();
}

bool MosquittoBroker::isRunning() const
{
    return process.state() != QProcess::NotRunning;
}

bool MosquittoBroker::pickPort()
{
    // The port must be free on every listen address, or a second listener would fail to bind.
    for (int attempt = 0; attempt < 20; ++attempt) {
        QTcpServer first;
        if (!first.listen(QHostAddress(addresses.value(0)), 0))
            continue;
        const quint16 candidate = first.serverPort();
        bool freeEverywhere = true;
        QList<QTcpServer *> others;
        for (int i = 1; i < addresses.size() && freeEverywhere; ++i) {
            auto *server = new QTcpServer;
            others.append(server);
            freeEverywhere = server->listen(QHostAddress(addresses.at(i)), candidate);
        }
        qDeleteAll(others);
        if (freeEverywhere) {
            listenPort = candidate;
            return true;
        }
    }
    error = QStringLiteral("no free port on %1").arg(addresses.join(QLatin1Char(',')));
    return false;
}

bool MosquittoBroker::writeFiles()
{
    QFile config(dir.filePath(QStringLiteral("broker.conf")));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = config.errorString();
        return false;
    }
    QTextStream out(&config);
    for (const QString &address : std::as_const(addresses))
        out << "listener " << listenPort << ' ' << address << '\n';
    // Run as whoever started the test; as root mosquitto would otherwise switch to a user
    // that cannot write the log in our private directory.
    out << "user root\n"
        << "persistence false\n"
        << "log_dest file " << logFilePath() << '\n'
        << "log_type all\n"
        << "log_timestamp false\n"
        << "connection_messages true\n";
    if (users.isEmpty()) {
        out << "allow_anonymous true\n";
    } else {
        const QString passwordFile = dir.filePath(QStringLiteral("passwords"));
        QFile::remove(passwordFile);
        for (int i = 0; i < users.size(); ++i) {
            QStringList args{QStringLiteral("-b")};
            if (i == 0)
                args << QStringLiteral("-c");
            args << passwordFile << users.at(i).first << users.at(i).second;
            QProcess tool;
            tool.setProcessChannelMode(QProcess::MergedChannels);
            tool.start(QStringLiteral("mosquitto_passwd"), args);
            if (!tool.waitForFinished(ToolTimeoutMs) || tool.exitCode() != 0) {
                error = QStringLiteral("mosquitto_passwd failed: ") +
                        QString::fromLocal8Bit(tool.readAll());
                return false;
            }
        }
        out << "allow_anonymous false\n"
            << "password_file " << passwordFile << '\n';
    }
    return true;
}

bool MosquittoBroker::launch()
{
    const int runningBefore = logCount(QStringLiteral(" running"));
    process.start(QStringLiteral("mosquitto"),
                  {QStringLiteral("-c"), dir.filePath(QStringLiteral("broker.conf"))});
    if (!process.waitForStarted(StartTimeoutMs)) {
        error = QStringLiteral("mosquitto did not start: ") + process.errorString();
        return false;
    }
    // The listeners are bound before the broker logs that it is running.
    QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (logCount(QStringLiteral(" running")) > runningBefore)
            return true;
        // Doubles as a short bounded pause that also notices an early exit.
        if (process.waitForFinished(20))
            break;
    }
    error = QStringLiteral("mosquitto did not come up: ") +
            QString::fromLocal8Bit(process.readAll()) + logLines().join(QLatin1Char('\n'));
    stop();
    return false;
}

bool MosquittoBroker::start()
{
    if (isRunning())
        return true;
    if (!dir.isValid()) {
        error = QStringLiteral("no temporary directory");
        return false;
    }
    const bool keepPort = listenPort != 0;
    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        // Another process may grab the port between probing and binding; pick again then.
        if (!keepPort && !pickPort())
            return false;
        if (!writeFiles())
            return false;
        if (launch())
            return true;
        if (keepPort)
            break;
    }
    return false;
}

void MosquittoBroker::stop()
{
    if (!isRunning())
        return;
    resume(); // a stopped process would not act on SIGTERM
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(StartTimeoutMs)) {
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(StartTimeoutMs);
    }
}

void MosquittoBroker::kill()
{
    if (!isRunning())
        return;
    ::kill(pid_t(process.processId()), SIGKILL);
    process.waitForFinished(StartTimeoutMs);
}

void MosquittoBroker::pause()
{
    if (isRunning())
        ::kill(pid_t(process.processId()), SIGSTOP);
}

void MosquittoBroker::resume()
{
    if (isRunning())
        ::kill(pid_t(process.processId()), SIGCONT);
}

QStringList MosquittoBroker::logLines() const
{
    QFile file(logFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool MosquittoBroker::logContains(const QString &needle) const
{
    return logCount(needle) > 0;
}

int MosquittoBroker::logCount(const QString &needle) const
{
    const QStringList lines = logLines();
    int count = 0;
    for (const QString &line : lines) {
        if (line.contains(needle))
            ++count;
    }
    return count;
}

bool MosquittoBroker::runPublisher(const QStringList &args, const QByteArray &input) const
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral("mosquitto_pub"),
               QStringList{QStringLiteral("-h"), host(), QStringLiteral("-p"),
                           QString::number(listenPort)} +
                   args);
    if (!tool.waitForStarted(ToolTimeoutMs))
        return false;
    tool.write(input);
    tool.closeWriteChannel();
    return tool.waitForFinished(ToolTimeoutMs) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

bool MosquittoBroker::publish(const QString &topic, const QByteArray &payload,
                              const QStringList &extraArgs) const
{
    // mosquitto_pub refuses an empty stdin; -n sends the zero-length message instead.
    const QString mode = payload.isEmpty() ? QStringLiteral("-n") : QStringLiteral("-s");
    return runPublisher(QStringList{QStringLiteral("-t"), topic, mode} + extraArgs, payload);
}

bool MosquittoBroker::publishEach(const QString &topic, const QList<QByteArray> &payloads) const
{
    QByteArray lines;
    for (const QByteArray &payload : payloads)
        lines += payload + '\n';
    return runPublisher({QStringLiteral("-t"), topic, QStringLiteral("-l")}, lines);
}
