#include "viewmodel/kiosk_mode.h"

#include <QDebug>
#include <QEvent>
#include <QGuiApplication>

#include <utility>

#include "viewmodel/viewmodel.h"

KioskMode::KioskMode(ViewModel &viewModel, QObject *parent) : QObject(parent), vm(viewModel)
{
    AuthHandler &auth = vm.auth();
    auth.setKeepSessionWhenUnreachable(true);
    vm.setMqttAutoReconnect(true);
    connect(&auth, &AuthHandler::BackendUnreachable, this, &KioskMode::backendUnreachable);
    connect(&auth, &AuthHandler::AccessTokenRefreshed, this, &KioskMode::backendAnswered);
    connect(&vm, &ViewModel::externalResourceLoadFinished, this, [this](bool loaded) {
        if (loaded)
            retryMs = kFirstRetryMs;
    });

    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, &auth, &AuthHandler::GetNewAccessToken);

    cursorIdle.setSingleShot(true);
    cursorIdle.setInterval(kCursorIdleMs);
    connect(&cursorIdle, &QTimer::timeout, this, &KioskMode::hideCursor);
    qApp->installEventFilter(this);
    cursorIdle.start();
}

KioskMode::~KioskMode()
{
    showCursor();
}

bool KioskMode::resumeSession()
{
    if (!active || vm.currentUserId().isEmpty())
        return false;
    qInfo() << "Wall-panel mode: resuming the stored session";
    vm.auth().ResumeSession();
    return true;
}

// Asked for again after the next renewal, which also tells whether the backend is up; a
// dashboard that keeps failing is asked for less and less often.
void KioskMode::dashboardMissing()
{
    if (!active)
        return;
    resolveWhenOnline = true;
    scheduleRetry();
}

void KioskMode::scheduleRetry()
{
    if (retry.isActive())
        return;
    retry.start(retryMs);
    retryMs = qMin(retryMs * 2, kLongestRetryMs);
}

void KioskMode::leave()
{
    if (!active)
        return;
    active = false;
    retry.stop();
    cursorIdle.stop();
    qApp->removeEventFilter(this);
    showCursor();
    setOffline(false);
    vm.auth().setKeepSessionWhenUnreachable(false);
    vm.setMqttAutoReconnect(false);
    qInfo() << "Wall-panel mode left for this run";
    emit activeChanged();
}

void KioskMode::setOffline(bool now)
{
    if (offline == now)
        return;
    offline = now;
    emit offlineChanged();
}

void KioskMode::backendUnreachable()
{
    if (!active)
        return;
    setOffline(true);
    qWarning() << "Wall-panel mode: backend unreachable, renewing again in" << retryMs << "ms";
    retry.stop();
    scheduleRetry();
}

void KioskMode::backendAnswered()
{
    if (!active)
        return;
    if (offline) {
        setOffline(false);
        qInfo() << "Wall-panel mode: backend reachable again";
        vm.auth().CheckRccUpdate();
    }
    if (std::exchange(resolveWhenOnline, false))
        vm.resolveAndDownloadExternalResourceForCurrentUser();
    else if (!retry.isActive())
        retryMs = kFirstRetryMs;
}

bool KioskMode::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseMove:
    case QEvent::HoverMove:
    case QEvent::TouchBegin:
    case QEvent::MouseButtonPress:
        showCursor();
        cursorIdle.start();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void KioskMode::hideCursor()
{
    if (cursorHidden)
        return;
    cursorHidden = true;
    QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));
}

void KioskMode::showCursor()
{
    if (!cursorHidden)
        return;
    cursorHidden = false;
    QGuiApplication::restoreOverrideCursor();
}
