#include "viewmodel/script_watchdog.h"

#include <QDebug>
#include <QJSEngine>

namespace {
constexpr auto kBeat = std::chrono::milliseconds(100);
} // namespace

qint64 ScriptWatchdog::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ScriptWatchdog::ScriptWatchdog(QObject *parent) : QObject(parent)
{
    heartbeat.setInterval(kBeat);
    connect(&heartbeat, &QTimer::timeout, this, &ScriptWatchdog::beat);
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

void ScriptWatchdog::setEngine(QJSEngine *newEngine)
{
    engine = newEngine;
    watchedEngine = newEngine;
    if (newEngine)
        connect(newEngine, &QObject::destroyed, this, [this] { watchedEngine = nullptr; });
}

void ScriptWatchdog::setArmed(bool on)
{
    beat();
    armed = on;
    if (on)
        heartbeat.start();
    else
        heartbeat.stop();
}

void ScriptWatchdog::beat()
{
    lastBeatMs = nowMs();
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
    lastBeatMs = nowMs();
    emit stalled();
}

void ScriptWatchdog::watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, kBeat, [this] { return stopping; })) {
        QJSEngine *watched = watchedEngine;
        if (!armed || busy > 0 || interrupted || !watched || nowMs() - lastBeatMs <= limitMs)
            continue;
        // Thread-safe by design: the engine checks the flag while it runs JavaScript.
        watched->setInterrupted(true);
        interrupted = true;
        qWarning().noquote() << "Dashboard JavaScript ran for more than" << limitMs
                             << "ms without returning to the event loop; interrupted it";
        QMetaObject::invokeMethod(this, &ScriptWatchdog::recover, Qt::QueuedConnection);
    }
}
