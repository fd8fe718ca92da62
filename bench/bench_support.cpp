#include "bench_support.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <ctime>

namespace bench {

qint64 nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleepMs(int ms)
{
    QThread::msleep(ulong(ms));
}

bool waitFor(const std::function<bool()> &done, int timeoutMs, int pollMs)
{
    const qint64 deadline = nowNs() + qint64(timeoutMs) * 1000000;
    while (!done()) {
        if (nowNs() > deadline)
            return false;
        sleepMs(pollMs);
    }
    return true;
}

double median(QList<double> values)
{
    values.removeIf([](double value) { return !valid(value); });
    if (values.isEmpty())
        return Missing;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

double quantile(std::vector<qint64> samples, double fraction)
{
    if (samples.empty())
        return Missing;
    std::sort(samples.begin(), samples.end());
    const auto rank = size_t(std::ceil(fraction * double(samples.size())));
    return double(samples[std::clamp<size_t>(rank, 1, samples.size()) - 1]);
}

std::unique_ptr<QProcess> start(const Launch &launch)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(launch.env);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(launch.outputFile.isEmpty() ? QProcess::nullDevice()
                                                               : launch.outputFile);
    process->setStandardInputFile(QProcess::nullDevice());
    if (!launch.workingDirectory.isEmpty())
        process->setWorkingDirectory(launch.workingDirectory);
    process->start(launch.program, launch.args);
    if (!process->waitForStarted(30000))
        qWarning("could not start %s: %s", qPrintable(launch.program),
                 qPrintable(process->errorString()));
    return process;
}

std::optional<QByteArray> run(const QString &program, const QStringList &args,
                              const QByteArray &input)
{
    const ToolResult tool = runTool(program, args, input);
    if (!tool.ok()) {
        qWarning("%s %s failed: %s", qPrintable(program), qPrintable(args.join(' ')),
                 tool.err.constData());
        return std::nullopt;
    }
    return tool.out;
}

int BrokerLog::subscriptions(const QString &topic, const QString &clientId) const
{
    // "<client id> <qos> <topic>", one line per topic of a SUBSCRIBE.
    int count = 0;
    const QByteArray suffix = " 0 " + topic.toUtf8();
    const QByteArray prefix = clientId.toUtf8() + ' ';
    const QList<QByteArray> lines = readFile(file).split('\n');
    for (const QByteArray &line : lines)
        if (line.endsWith(suffix) && (clientId.isEmpty() || line.startsWith(prefix)))
            ++count;
    return count;
}

bool BrokerLog::waitForSubscription(const QString &topic, const QString &clientId, int before,
                                    int timeoutMs) const
{
    return waitFor([&] { return subscriptions(topic, clientId) > before; }, timeoutMs, 5);
}

namespace {
qint64 switchesOf(const QString &statusFile)
{
    qint64 total = 0;
    const QList<QByteArray> lines = readFile(statusFile).split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("voluntary_ctxt_switches:") ||
            line.startsWith("nonvoluntary_ctxt_switches:"))
            total += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    return total;
}
} // namespace

ProcessCounters readCounters(qint64 pid)
{
    ProcessCounters counters;
    const QString base = QStringLiteral("/proc/%1/task/").arg(pid);
    const QStringList tasks = QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        const qint64 switches = switchesOf(base + task + "/status");
        counters.allThreadSwitches += switches;
        if (task.toLongLong() == pid)
            counters.mainThreadSwitches = switches;
        // The first field of schedstat: nanoseconds spent on a CPU.
        counters.cpuNs += readFile(base + task + "/schedstat").split(' ').value(0).toLongLong();
    }
    return counters;
}

} // namespace bench
