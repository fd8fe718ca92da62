#include "viewmodel/viewmodel.h"

#include <QNetworkAccessManager>

#include "app/config.h"
#include "mqtt/mqttclient.h"

ViewModel::ViewModel(QObject *parent)
    : QObject(parent), messageBox(new QMessageBox()), networkManager(new QNetworkAccessManager())
{
}
ViewModel::~ViewModel()
{
    delete networkManager;
    delete messageBox;
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
    emit authResponseChanged(response);
}
int ViewModel::ShowCustomMessage(QString, QString, QMessageBox::StandardButtons,
                                 QMessageBox::StandardButton)
{
    return 0;
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
void ViewModel::logUserIn(QString, QString) {}
void ViewModel::resetUserPassword(QString) {}
bool ViewModel::isUserLoggedIn()
{
    return false;
}
void ViewModel::logUserOut() {}
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
    return false;
}
