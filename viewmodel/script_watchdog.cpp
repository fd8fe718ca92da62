#include "viewmodel/script_watchdog.h"

#include <QDebug>
#include <QJSEngine>

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

qint64 ScriptWatchdog::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ScriptWatchdog::ScriptWatchdog(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_LINUX
    guiThreadStat = QByteArray("/proc/self/task/") + QByteArray::number(qint64(::gettid())) +
                    QByteArray("/stat");
    ticksPerSecond = ::sysconf(_SC_CLK_TCK);
#endif
    thread = std::thread([this] { watch(); });
}

ScriptWatchdog::~ScriptWatchdog()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
    if (interrupted && engine)
        engine->setInterrupted(false);
}

// Linux keeps each thread's state in /proc: 'R' while it runs or waits for a processor, another
// letter while it sleeps, in poll() for events for one; and the processor time it has had.
// Elsewhere the thread is asked, and the time that passed counts.
ScriptWatchdog::GuiThread ScriptWatchdog::sampleGuiThread() const
{
    GuiThread sample;
#ifdef Q_OS_LINUX
    if (guiThreadStat.isEmpty())
        return sample;
    char stat[512];
    const int fd = ::open(guiThreadStat.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return sample;
    const ssize_t n = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    if (n <= 0)
        return sample;
    stat[n] = '\0';
    // "tid (name) S ppid ...": the name may hold spaces and parentheses, so the fields follow
    // the last ')'. The state is the first of them; user and system time are the 12th and 13th.
    const char *end = std::strrchr(stat, ')');
    if (!end || end[1] != ' ' || end[2] == '\0')
        return sample;
    sample.waits = end[2] != 'R';
    unsigned long long user = 0, system = 0;
    if (std::sscanf(end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &system) == 2 &&
        ticksPerSecond > 0)
        sample.ranMs = qint64((user + system) * 1000 / ticksPerSecond);
#endif
    return sample;
}

void ScriptWatchdog::setEngine(QJSEngine *newEngine)
{
    engine = newEngine;
    watchedEngine = newEngine;
    if (newEngine)
        connect(newEngine, &QObject::destroyed, this, [this] { watchedEngine = nullptr; });
}

void ScriptWatchdog::setLimit(std::chrono::milliseconds limit)
{
    limitMs = limit.count();
    wake.notify_all(); // look again at the new pace
}

void ScriptWatchdog::setArmed(bool on)
{
    lastSignMs = nowMs();
    armed = on;
    if (interrupted)
        recover();
}

// On the GUI thread: it came back to its event loop.
void ScriptWatchdog::signOfLife()
{
    lastSignMs = nowMs();
    signAsked = false;
    if (interrupted)
        recover();
}

// On the GUI thread, back from whatever was interrupted.
void ScriptWatchdog::recover()
{
    if (!interrupted.exchange(false))
        return;
    if (engine)
        engine->setInterrupted(false);
    lastSignMs = nowMs();
    signAsked = false;
    emit stalled();
}

void ScriptWatchdog::watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        // A tenth of the limit, so that a stall is seen close to it.
        const auto pace = std::chrono::milliseconds(std::clamp<qint64>(limitMs / 10, 20, 500));
        if (wake.wait_for(lock, pace, [this] { return stopping; }))
            return;
        if (check())
            QMetaObject::invokeMethod(this, &ScriptWatchdog::recover, Qt::QueuedConnection);
    }
}

// On the watchdog's thread: true when it has just interrupted the engine.
bool ScriptWatchdog::check()
{
    QJSEngine *watched = watchedEngine;
    if (!armed || busy > 0 || interrupted || !watched)
        return false;
    const GuiThread gui = sampleGuiThread();
    if (gui.waits) {
        lastSignMs = nowMs();
        return false;
    }
    const bool unanswered = signAsked; // read before the sign it would have brought
    const qint64 signMs = lastSignMs;
    if (signMs != seenSignMs) { // the processor time counts from the latest sign of life on
        seenSignMs = signMs;
        ranAtSignMs = gui.ranMs;
    }
    const qint64 now = nowMs();
    const qint64 silentMs = now - signMs;
    // On a loaded machine a thread may wait for a processor that long: only time it ran counts.
    const auto ranSince = [&](qint64 ranAtMs, qint64 atMs) {
        return gui.ranMs >= 0 && ranAtMs >= 0 ? gui.ranMs - ranAtMs : now - atMs;
    };
    // A loop that runs is asked before it is judged, and given time to answer: this thread too
    // may have waited for a processor, and look again only long after the last sign of life.
    const qint64 askLeadMs = limitMs / 2;
    if (!unanswered) {
        if (silentMs > askLeadMs && !signAsked.exchange(true)) {
            askedAtMs = now;
            ranAtAskMs = gui.ranMs;
            QMetaObject::invokeMethod(this, &ScriptWatchdog::signOfLife, Qt::QueuedConnection);
        }
        return false;
    }
    if (silentMs > limitMs && ranSince(ranAtSignMs, signMs) > limitMs &&
        ranSince(ranAtAskMs, askedAtMs) > askLeadMs) {
        // Thread-safe by design: the engine checks the flag while it runs JavaScript.
        watched->setInterrupted(true);
        interrupted = true;
        qWarning().noquote() << "Dashboard JavaScript ran for more than" << limitMs
                             << "ms without returning to the event loop; interrupted it";
        return true;
    }
    return false;
}
