#include "viewmodel/viewmodel.h"

#include <QAbstractButton>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QQmlEngine>
#include <QTimer>

#include <utility>

#include "app/config.h"
#include "auth/session_keys.h"
#include "mqtt/mqttclient.h"
#include "net/http_request.h"
#include "viewmodel/dashboard_types.h"

struct ViewModel::QueuedMessage
{
    QString title;
    QString msg;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
    // Callers waiting for the answer, each in its own nested loop: the one who asked first, and
    // any whose identical message was folded into it while it was queued.
    QList<QEventLoop *> waiters;
    bool answered = false;
    int answer = -1;

    bool sameBoxAs(const QueuedMessage &other) const
    {
        return title == other.title && msg == other.msg && buttons == other.buttons &&
               defaultButton == other.defaultButton;
    }
};

namespace {
// More would only stand between the user and the program: a dashboard that asks from every
// incoming message could otherwise queue boxes for hours of clicking.
constexpr qsizetype kMaxQueuedMessages = 20;
} // namespace

ViewModel::ViewModel(QObject *parent)
    : QObject(parent), messageBox(new QMessageBox()), networkManager(new QNetworkAccessManager())
{
    // QML and queued invocations reach the message slots through the meta-type system.
    qRegisterMetaType<QMessageBox::StandardButtons>();
    qRegisterMetaType<QMessageBox::StandardButton>();
    // Any engine that publishes a view model can give its dashboards the typed module.
    registerDashboardTypes();

    // The box is opened without a nested event loop of its own; it still blocks the window.
    messageBox->setWindowModality(Qt::ApplicationModal);
    connect(messageBox, &QMessageBox::buttonClicked, this, [this](QAbstractButton *button) {
        shownMessageAnswer = messageBox->standardButton(button);
    });
    connect(messageBox, &QDialog::finished, this, &ViewModel::messageBoxFinished);

    connect(&scriptWatchdog, &ScriptWatchdog::stalled, this, &ViewModel::stopStalledDashboard);
    connect(&authHandler, &AuthHandler::SignInResponse, this, &ViewModel::GetSignInResponse);
    connect(&authHandler, &AuthHandler::SignOutUser, this, &ViewModel::logUserOut);
    connect(&authHandler, &AuthHandler::RccUpdateAvailable, this, [this]() {
        // An announcement while a transfer runs is dropped; the next check repeats it.
        if (!userSignedIn || dashboardFunctionReply || directDownloadReply || authorMode)
            return;
        dashboardUpdatePending = true;
        resolveAndDownloadExternalResourceForCurrentUser();
    });
    connect(&authHandler, &AuthHandler::AccessTokenRefreshed, this, [this]() {
        if (!resolveAfterTokenRefresh)
            return;
        resolveAfterTokenRefresh = false;
        resolveAndDownloadExternalResourceForCurrentUser();
    });
}

ViewModel::~ViewModel()
{
    http::dropReply(dashboardFunctionReply);
    http::dropReply(directDownloadReply);
    // A bundle registered from memory is read in place: it must leave the resource system
    // before its bytes are freed with this object.
    unregisterCurrentResource();
    delete networkManager;
    networkManager = nullptr;
    delete messageBox;
    messageBox = nullptr;
}

void ViewModel::setMqttClient(MqttClient *client)
{
    mqttClient = client;
    if (mqttClient)
        mqttClient->SetConnectionsOpen(!sessionEnded);
}

// Signed out until a user signs in again: what the old dashboard does while it lives on no
// longer reaches the broker.
void ViewModel::setSessionEnded(bool ended)
{
    sessionEnded = ended;
    scriptWatchdog.setArmed(!ended);
    if (mqttClient)
        mqttClient->SetConnectionsOpen(!ended);
}

void ViewModel::setQmlEngine(QQmlEngine *engine)
{
    qmlEngine = engine;
    scriptWatchdog.setEngine(engine);
}

// Its JavaScript was interrupted. The bundle counts as one whose load did not finish, and the
// next resolution asks the dashboard function, whose answer may be the fix, before the cache.
void ViewModel::stopStalledDashboard()
{
    if (!registeredCacheFile.isEmpty()) {
        bundleQuarantine.beginLoad(registeredCacheFile, registeredDigest);
        bundleQuarantine.abandonLoad();
        bundleQuarantine.recoverInterruptedLoad(registeredCacheFile);
    }
    skipCacheOnce = true;
    emit dashboardStopped(tr("The dashboard stopped responding and was closed."));
}

void ViewModel::GetSignInResponse(QString response)
{
    if (response == QLatin1String("USER_AUTENTICATED") ||
        response == QLatin1String("USER_ALREADY_LOGGED_IN"))
        restoreUserFromSettings();
    emit authResponseChanged(response);
}

// A box that is already open is never overwritten: this message waits for its turn, and the
// caller waits in a nested event loop for its own answer.
int ViewModel::ShowCustomMessage(QString title, QString msg,
                                 QMessageBox::StandardButtons standard_btn,
                                 QMessageBox::StandardButton default_btn)
{
    const std::shared_ptr<QueuedMessage> message = enqueueMessage(std::make_shared<QueuedMessage>(
        QueuedMessage{std::move(title), std::move(msg), standard_btn, default_btn, {}}));
    if (!message)
        return -1; // dropped: the queue is full
    QEventLoop loop;
    message->waiters.append(&loop);
    ++messageWaits;
    loop.exec();
    --messageWaits;
    message->waiters.removeOne(&loop);
    // Still queued only when the loop was ended from outside (the application quitting).
    if (message->waiters.isEmpty())
        messageQueue.removeOne(message);
    if (messageWaits == 0)
        scheduleWorkHeldForMessageWaits();
    return message->answered ? message->answer : -1;
}

int ViewModel::ShowCustomMessage(QString title, QString msg,
                                 QMessageBox::StandardButtons standard_btn)
{
    return ShowCustomMessage(title, msg, standard_btn, QMessageBox::Ok);
}

int ViewModel::ShowCustomMessage(QString title, QString msg)
{
    return ShowCustomMessage(title, msg, QMessageBox::Ok, QMessageBox::Ok);
}

// Blocks like the other forms: the caller goes on once the user has closed its box.
void ViewModel::ShowCustomMessageNoBtns(QString title, QString msg)
{
    ShowCustomMessage(std::move(title), std::move(msg), QMessageBox::Ok, QMessageBox::Ok);
}

// The message whose box answers this one: itself, or an identical one already waiting its turn;
// none when the queue is full.
std::shared_ptr<ViewModel::QueuedMessage>
ViewModel::enqueueMessage(const std::shared_ptr<QueuedMessage> &message)
{
    for (const auto &queued : std::as_const(messageQueue)) {
        if (queued->sameBoxAs(*message))
            return queued;
    }
    if (messageQueue.size() >= kMaxQueuedMessages) {
        ++droppedMessages;
        return nullptr;
    }
    messageQueue.append(message);
    scheduleNextMessage();
    return message;
}

// Never inside the caller's step: that may be a signal emission whose receivers a nested loop
// would let be destroyed under it.
void ViewModel::scheduleNextMessage()
{
    if (shownMessage || nextMessageScheduled || messageQueue.isEmpty())
        return;
    nextMessageScheduled = true;
    QMetaObject::invokeMethod(this, &ViewModel::showNextMessage, Qt::QueuedConnection);
}

void ViewModel::showNextMessage()
{
    nextMessageScheduled = false;
    if (shownMessage || messageQueue.isEmpty())
        return;
    // One line for a whole flood, once the user gets to the boxes after it.
    if (droppedMessages > 0) {
        qWarning().noquote() << "Dropped" << droppedMessages << "message boxes: more than"
                             << kMaxQueuedMessages << "were waiting to be shown";
        droppedMessages = 0;
    }
    shownMessage = messageQueue.takeFirst();
    shownMessageAnswer = -1;
    const QString shownTitle = tr(shownMessage->title.toUtf8().constData());
    messageBox->setWindowTitle(shownTitle);
    messageBox->setText(shownTitle);
    messageBox->setInformativeText(tr(shownMessage->msg.toUtf8().constData()));
    messageBox->setStandardButtons(shownMessage->buttons);
    messageBox->setDefaultButton(shownMessage->defaultButton);
    messageBox->adjustSize();
    messageBox->show();
}

void ViewModel::messageBoxFinished(int result)
{
    const std::shared_ptr<QueuedMessage> message = std::exchange(shownMessage, nullptr);
    if (!message)
        return;
    // A box closed without a button (its window closed) answers what the dialog reports.
    message->answer = shownMessageAnswer != -1 ? shownMessageAnswer : result;
    message->answered = true;
    for (QEventLoop *waiter : std::as_const(message->waiters))
        waiter->quit();
    scheduleNextMessage();
}

// While a caller waits for a box, its own handlers (and any signal emission it is part of) are
// still on the stack below the nested loop. Deleting a dashboard there is fatal for QML, and the
// bundle must outlive it, so such work runs from a fresh event-loop pass at which nobody waits.
void ViewModel::afterMessageWaits(const std::function<void()> &task)
{
    workHeldForMessageWaits.append(task);
    scheduleWorkHeldForMessageWaits();
}

void ViewModel::scheduleWorkHeldForMessageWaits()
{
    if (workScheduled || workHeldForMessageWaits.isEmpty())
        return;
    workScheduled = true;
    QMetaObject::invokeMethod(this, &ViewModel::runWorkHeldForMessageWaits, Qt::QueuedConnection);
}

void ViewModel::runWorkHeldForMessageWaits()
{
    workScheduled = false;
    if (messageWaits > 0)
        return; // the last caller to get its answer schedules it again
    const auto tasks = std::exchange(workHeldForMessageWaits, {});
    for (const auto &task : tasks)
        task();
}

void ViewModel::releaseDashboard(QObject *dashboard)
{
    // Dashboards call this too: only what QML itself may destroy is deleted, never the
    // published objects or the page's own.
    if (!dashboard || QQmlEngine::objectOwnership(dashboard) != QQmlEngine::JavaScriptOwnership)
        return;
    afterMessageWaits([dashboard = QPointer<QObject>(dashboard)] { delete dashboard.data(); });
}

void ViewModel::logUserIn(QString email, QString pass)
{
    authHandler.SignIn(email, pass);
    userEmail = email;
    openDashboardFunctionConnection();
}

void ViewModel::resetUserPassword(QString email)
{
    authHandler.ResetPassword(email);
}

// Always false: the window starts on the login page whatever is stored. A stored session is
// still resumed here so that its token keeps being renewed.
bool ViewModel::isUserLoggedIn()
{
    if (userSignedIn)
        return false;
    if (authHandler.HasStoredSession()) {
        restoreUserFromSettings();
        return false;
    }
    userSignedIn = false;
    return false;
}

void ViewModel::logUserOut()
{
    QString cachedUserId = userId.trimmed();
    if (cachedUserId.isEmpty())
        cachedUserId = authHandler.Settings().value(sessionkey::kUserId).toString();

    http::dropReply(dashboardFunctionReply);
    http::dropReply(directDownloadReply);

    unauthorizedRetried = false;
    resolveAfterTokenRefresh = false;
    dashboardUpdatePending = false;

    setSessionEnded(true);
    if (mqttClient)
        mqttClient->ResetConfiguration();

    authHandler.ClearSession();

    userId.clear();
    userEmail.clear();
    userSignedIn = false;

    emit signOutUser();

    // Deferred until QML has destroyed the dashboard that still uses the bundle. The component
    // cache goes too, or the next user would be shown this user's dashboard from it.
    afterMessageWaits([this, cachedUserId]() {
        unregisterCurrentResource();
        deleteCachedDashboard(cachedUserId);
        clearComponentCacheIfEngine();
    });
}

// A dashboard that shows a message and then signs out relies on the user having read it.
void ViewModel::showMessage(QString title, QString message)
{
    ShowCustomMessage(std::move(title), std::move(message), QMessageBox::Ok, QMessageBox::Ok);
}

QString ViewModel::currentUserId() const
{
    return userId;
}

QString ViewModel::appConfigValue(QString key) const
{
    return configValue(key);
}

bool ViewModel::restoreUserFromSettings()
{
    QSettings &settings = authHandler.Settings();
    userId = settings.value(sessionkey::kUserId).toString();
    userEmail = settings.value(sessionkey::kEmail).toString();
    if (!userId.isEmpty() && !userEmail.isEmpty()) {
        userSignedIn = true;
        setSessionEnded(false);
        authHandler.StartTokenTimer();
        return true;
    }
    userId.clear();
    userSignedIn = false;
    return false;
}
