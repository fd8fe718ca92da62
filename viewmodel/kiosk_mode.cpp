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

void KioskMode::dashboardMissing()
{
    resolveWhenOnline = true;
    // Nothing said the backend is down: a renewal tells, and answers with the dashboard if up.
    if (!offline && !retry.isActive())
        retry.start(retryMs);
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
    retry.start(retryMs);
    retryMs = qMin(retryMs * 2, kLongestRetryMs);
}

void KioskMode::backendAnswered()
{
    retryMs = kFirstRetryMs;
    retry.stop();
    if (!active || !offline)
        return;
    setOffline(false);
    qInfo() << "Wall-panel mode: backend reachable again";
    vm.auth().CheckRccUpdate();
    if (std::exchange(resolveWhenOnline, false))
        vm.resolveAndDownloadExternalResourceForCurrentUser();
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
