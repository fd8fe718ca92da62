#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class QJSEngine;

// Stops a dashboard whose JavaScript keeps the GUI thread from returning to the event loop (a
// `while (true) {}`, say): while armed, a timer of the GUI thread beats; when no beat came for
// longer than the limit, a thread of its own interrupts the engine's JavaScript. Once the GUI
// thread is back in the event loop, the engine runs JavaScript again and stalled() is emitted.
class ScriptWatchdog : public QObject
{
    Q_OBJECT
public:
    explicit ScriptWatchdog(QObject *parent = nullptr);
    ~ScriptWatchdog() override;

    void setEngine(QJSEngine *engine);
    void setLimit(std::chrono::milliseconds limit) { limitMs = limit.count(); }
    void setArmed(bool on);

    // Long work of the client's own on the GUI thread (checking a big bundle, say) is not a
    // dashboard's script: the time spent while one of these lives is never held against it.
    class Busy
    {
    public:
        explicit Busy(ScriptWatchdog &watchdog) : dog(watchdog) { ++dog.busy; }
        ~Busy()
        {
            dog.lastBeatMs = nowMs();
            --dog.busy;
        }
        Busy(const Busy &) = delete;
        Busy &operator=(const Busy &) = delete;

    private:
        ScriptWatchdog &dog;
    };

signals:
    void stalled();

private:
    static qint64 nowMs();
    void beat();
    void watch();
    void recover();

    QPointer<QJSEngine> engine;
    std::atomic<QJSEngine *> watchedEngine{nullptr};
    QTimer heartbeat;
    std::atomic<qint64> limitMs{5000};
    std::atomic<qint64> lastBeatMs{0};
    std::atomic<bool> armed{false};
    std::atomic<int> busy{0};
    std::atomic<bool> interrupted{false};
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};
