#include "mqtt/mqttclient.h"

#include <QSocketNotifier>

MqttClient::MqttClient(QObject *parent) : QObject(parent) {}
MqttClient::~MqttClient() = default;
void MqttClient::HostLookedUp(QHostInfo) {}
void MqttClient::Pump() {}
void MqttClient::SetPort(uint) {}
void MqttClient::SetWebSocketPort(uint) {}
void MqttClient::SetHostName(QString) {}
void MqttClient::SetUserName(QString) {}
void MqttClient::SetPassword(QString) {}
void MqttClient::SetClientId(QString) {}
void MqttClient::Connect() {}
void MqttClient::Disconnect() {}
bool MqttClient::ConfigureAndConnect(QString, uint, QStringList)
{
    return false;
}
void MqttClient::ResetConfiguration() {}
void MqttClient::PublishToTopic(QString, QString) {}
void MqttClient::AddSubscriptionToTopic(QString) {}
void MqttClient::SetState(ConnectionState) {}
void MqttClient::StartHostLookup() {}
void MqttClient::ConnectToNextAddress() {}
bool MqttClient::ConnectToAddress(const QString &)
{
    return false;
}
void MqttClient::ConnectIfPending() {}
void MqttClient::AbortAndDisconnect() {}
void MqttClient::SchedulePump() {}
void MqttClient::Teardown() {}
void MqttClient::ProcessEvents() {}
void MqttClient::SubscribeToTopic(const QString &) {}
void MqttClient::SubscribeToAllTopics() {}
void MqttClient::OnConnect(struct mosquitto *, void *, int) {}
void MqttClient::OnDisconnect(struct mosquitto *, void *, int) {}
void MqttClient::OnMessage(struct mosquitto *, void *, const struct mosquitto_message *) {}
