#include "viewmodel/viewmodel.h"

#include <QNetworkAccessManager>
#include <QTimer>

#include "app/config.h"
#include "auth/http_request.h"
#include "mqtt/mqttclient.h"

ViewModel::ViewModel(QObject *parent)
    : QObject(parent), messageBox(new QMessageBox()), networkManager(new QNetworkAccessManager())
{
    // QML and queued invocations reach the message slots through the meta-type system.
    qRegisterMetaType<QMessageBox::StandardButtons>();
    qRegisterMetaType<QMessageBox::StandardButton>();

    connect(&authHandler, &AuthHandler::SignInResponse, this, &ViewModel::GetSignInResponse);
    connect(&authHandler, &AuthHandler::SignOutUser, this, &ViewModel::logUserOut);
    connect(&authHandler, &AuthHandler::RccUpdateAvailable, this, [this]() {
        // An announcement while a transfer runs is dropped; the next check repeats it.
        if (!userSignedIn || dashboardFunctionReply || directDownloadReply)
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
    delete networkManager;
    networkManager = nullptr;
    delete messageBox;
    messageBox = nullptr;
}

void ViewModel::setMqttClient(MqttClient *client)
{
    mqttClient = client;
}

void ViewModel::setQmlEngine(QQmlEngine *engine)
{
    qmlEngine = engine;
}

void ViewModel::GetSignInResponse(QString response)
{
    if (response == QLatin1String("USER_AUTENTICATED") ||
        response == QLatin1String("USER_ALREADY_LOGGED_IN"))
        restoreUserFromSettings();
    emit authResponseChanged(response);
}

int ViewModel::ShowCustomMessage(QString title, QString msg,
                                 QMessageBox::StandardButtons standard_btn,
                                 QMessageBox::StandardButton default_btn)
{
    const QString shownTitle = tr(title.toUtf8().constData());
    messageBox->setWindowTitle(shownTitle);
    messageBox->setText(shownTitle);
    messageBox->setInformativeText(tr(msg.toUtf8().constData()));
    messageBox->setStandardButtons(standard_btn);
    messageBox->setDefaultButton(default_btn);
    messageBox->adjustSize();
    return messageBox->exec();
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

void ViewModel::ShowCustomMessageNoBtns(QString title, QString msg)
{
    ShowCustomMessage(title, msg);
}

void ViewModel::logUserIn(QString email, QString pass)
{
    authHandler.SignIn(email, pass);
    userEmail = email;
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
        cachedUserId = authHandler.Settings().value(QStringLiteral("id")).toString();

    http::dropReply(dashboardFunctionReply);
    http::dropReply(directDownloadReply);

    unauthorizedRetried = false;
    resolveAfterTokenRefresh = false;
    dashboardUpdatePending = false;

    if (mqttClient)
        mqttClient->ResetConfiguration();

    authHandler.ClearSession();

    userId.clear();
    userEmail.clear();
    userSignedIn = false;

    emit signOutUser();

    // Deferred until QML has destroyed the dashboard that still uses the bundle. The component
    // cache goes too, or the next user would be shown this user's dashboard from it.
    QTimer::singleShot(0, this, [this, cachedUserId]() {
        unregisterCurrentResource();
        deleteCachedDashboard(cachedUserId);
        clearComponentCacheIfEngine();
    });
}

void ViewModel::showMessage(QString title, QString message)
{
    ShowCustomMessage(title, message);
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
    userId = settings.value(QStringLiteral("id")).toString();
    userEmail = settings.value(QStringLiteral("email")).toString();
    if (!userId.isEmpty() && !userEmail.isEmpty()) {
        userSignedIn = true;
        authHandler.StartTokenTimer();
        return true;
    }
    userId.clear();
    userSignedIn = false;
    return false;
}
