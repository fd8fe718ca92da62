#include "viewmodel/viewmodel.h"

#include "mqtt/mqttclient.h"

bool ViewModel::configureDashboardMqtt(QString, int, QVariantList)
{
    return false;
}
void ViewModel::disconnectDashboardMqtt() {}
