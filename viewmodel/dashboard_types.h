#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include "mqtt/mqttclient.h"
#include "viewmodel/viewmodel.h"

// The module dashboards import for typed access to the client's two objects:
//     import Corvalen.Client
//     ... Client.manager.currentUserId() ... Client.mqttClient.connected ...
// The same objects as the context properties "manager" and "mqttClient", which stay for
// dashboards written without the import; with it, qmllint and editors know every member.
inline constexpr char kDashboardModuleUri[] = "Corvalen.Client";

class DashboardClient : public QObject
{
    Q_OBJECT
    Q_PROPERTY(ViewModel *manager READ manager CONSTANT)
    Q_PROPERTY(MqttClient *mqttClient READ mqttClient CONSTANT)

public:
    DashboardClient(ViewModel *manager, MqttClient *mqttClient, QObject *parent = nullptr);
    ViewModel *manager() const { return managerObject.data(); }
    MqttClient *mqttClient() const { return mqttObject.data(); }

private:
    QPointer<ViewModel> managerObject;
    QPointer<MqttClient> mqttObject;
};

// Registers the module once per process. Each engine's singleton hands out the objects that
// engine publishes as "manager" and "mqttClient".
void registerDashboardTypes();

// The module's type information (the .qmltypes text) for tools, made from the same meta-objects
// the engine sees, so that it lists every property, signal and invokable method.
QString dashboardQmlTypes();
