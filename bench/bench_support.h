#pragma once

// What every figure of the benchmark needs: a monotonic clock, statistics, child processes,
// and the broker's log, which tells when a subscription is in place.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include "support/processes.h"
#include "support/sandbox.h" // readFile, writeFile

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC, the clock of QElapsedTimer and of Qt's "%{time boot}" log field.
qint64 nowNs();
void sleepMs(int ms);
// Polls `done` every `pollMs` until it holds or `timeoutMs` have passed.
bool waitFor(const std::function<bool()> &done, int timeoutMs, int pollMs = 2);

double median(QList<double> values);
// The value below which `fraction` of the samples lie (nearest rank); NaN for no samples.
double quantile(std::vector<qint64> samples, double fraction);
inline bool valid(double value)
{
    return std::isfinite(value);
}
constexpr double Missing = NAN;

struct Launch
{
    QString program;
    QStringList args;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString outputFile; // standard output and error; empty: discarded
    QString workingDirectory;
};
std::unique_ptr<QProcess> start(const Launch &launch);
// Runs a tool to its end within a minute; its standard output, or nothing on any failure.
// Stopping a process is the tests' stopProcess(), reading and writing files their readFile()
// and writeFile().
std::optional<QByteArray> run(const QString &program, const QStringList &args,
                              const QByteArray &input = {});

// The broker's log, as its "log_type subscribe" lines name client and topic.
class BrokerLog
{
public:
    explicit BrokerLog(QString path) : file(std::move(path)) {}
    int subscriptions(const QString &topic, const QString &clientId = {}) const;
    // Waits until the number of subscriptions matching grows beyond `before`.
    bool waitForSubscription(const QString &topic, const QString &clientId, int before,
                             int timeoutMs) const;

private:
    QString file;
};

// Thread and process counters from /proc.
struct ProcessCounters
{
    qint64 mainThreadSwitches = 0; // voluntary and involuntary context switches: wake-ups
    qint64 allThreadSwitches = 0;
    qint64 cpuNs = 0; // time on a CPU, every thread
};
ProcessCounters readCounters(qint64 pid);

} // namespace bench
