#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class QJSEngine;

// Stops a dashboard whose JavaScript keeps the GUI thread from returning to the event loop (a
// `while (true) {}`, say). A thread of its own looks at the GUI thread: one that waits (for
// events, mostly) runs no script. One that keeps running is asked for a sign of life through its
// event loop, so that a busy but responsive loop (a flood of messages) is not taken for a stuck
// script, and an idle client is never woken for it. Without an answer within the limit the
// engine's JavaScript is interrupted. Once the GUI thread is back in the event loop, the engine
// runs JavaScript again and stalled() is emitted.
class ScriptWatchdog : public QObject
{
    Q_OBJECT
public:
    explicit ScriptWatchdog(QObject *parent = nullptr);
    ~ScriptWatchdog() override;

    void setEngine(QJSEngine *engine);
    void setLimit(std::chrono::milliseconds limit);
    void setArmed(bool on);

    // Long work of the client's own on the GUI thread (checking a big bundle, say) is not a
    // dashboard's script: the time spent while one of these lives is never held against it.
    class Busy
    {
    public:
        explicit Busy(ScriptWatchdog &watchdog) : dog(watchdog) { ++dog.busy; }
        ~Busy()
        {
            dog.lastSignMs = nowMs();
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
    struct GuiThread
    {
        bool waits = false;
        qint64 ranMs = -1; // processor time it has had, when the system tells
    };
    static qint64 nowMs();
    GuiThread sampleGuiThread() const;
    void signOfLife();
    void watch();
    bool check();
    void recover();

    QPointer<QJSEngine> engine;
    std::atomic<QJSEngine *> watchedEngine{nullptr};
    QByteArray guiThreadStat; // where the system tells whether the GUI thread runs; may be empty
    long ticksPerSecond = 0;
    std::atomic<qint64> limitMs{5000};
    std::atomic<qint64> lastSignMs{0};
    std::atomic<bool> signAsked{false};
    std::atomic<bool> armed{false};
    std::atomic<int> busy{0};
    std::atomic<bool> interrupted{false};
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    // The watching thread's own: the sign of life it last saw, and the GUI thread's processor
    // time then.
    qint64 seenSignMs = -1;
    qint64 ranAtSignMs = -1;
    // When it last asked for a sign of life, and the GUI thread's processor time then.
    qint64 askedAtMs = 0;
    qint64 ranAtAskMs = -1;
    std::thread thread;
};
