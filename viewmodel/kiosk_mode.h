#pragma once

#include <QObject>
#include <QTimer>

class ViewModel;

// Wall-panel mode: a stored session is taken up without the login page, and while the backend
// cannot be reached the session is kept, the cached dashboard (if it passes its checks) stays
// shown, and the renewal is retried with growing pauses. The cursor hides when the mouse rests.
class KioskMode : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool active READ isActive NOTIFY activeChanged)
    Q_PROPERTY(bool offline READ isOffline NOTIFY offlineChanged)

public:
    static constexpr int kCursorIdleMs = 5000;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLongestRetryMs = 60000;

    explicit KioskMode(ViewModel &viewModel, QObject *parent = nullptr);
    ~KioskMode() override;

    bool isActive() const { return active; }
    bool isOffline() const { return offline; }

    // True when a stored session was taken up, so that the window can show the dashboard at once.
    Q_INVOKABLE bool resumeSession();
    // The page could not get a dashboard; it is asked for again once the backend answers.
    Q_INVOKABLE void dashboardMissing();
    // Back to an ordinary window for the rest of this run.
    Q_INVOKABLE void leave();

signals:
    void activeChanged();
    void offlineChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setOffline(bool now);
    void scheduleRetry();
    void backendUnreachable();
    void backendAnswered();
    void hideCursor();
    void showCursor();

    ViewModel &vm;
    bool active = true;
    bool offline = false;
    bool resolveWhenOnline = false;
    bool cursorHidden = false;
    int retryMs = kFirstRetryMs;
    QTimer retry;
    QTimer cursorIdle;
};
