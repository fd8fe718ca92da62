#include "viewmodel/viewmodel.h"

#include <QDebug>

#include "mqtt/mqttclient.h"

bool ViewModel::configureDashboardMqtt(QString host, int port, QVariantList topics)
{
    if (!mqttClient) {
        qWarning() << "MQTT client is not initialized";
        return false;
    }
    // A dashboard released at sign-out may still run until none of its handlers is on the
    // stack; the broker must not be reached in the name of a user who has gone.
    if (sessionEnded) {
        qWarning() << "Not configuring dashboard MQTT after sign-out";
        return false;
    }
    if (port < 1 || port > 65535) {
        qWarning() << "Invalid MQTT port:" << port;
        return false;
    }
    QStringList cleaned;
    for (const QVariant &topic : std::as_const(topics)) {
        const QString trimmed = topic.toString().trimmed();
        if (!trimmed.isEmpty())
            cleaned.append(trimmed);
    }
    if (mqttAutoReconnect)
        mqttClient->SetAutoReconnect(true);
    return mqttClient->ConfigureAndConnect(host, uint(port), cleaned);
}

void ViewModel::disconnectDashboardMqtt()
{
    if (mqttClient)
        mqttClient->ResetConfiguration();
}
