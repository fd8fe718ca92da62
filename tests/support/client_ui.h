#pragma once

#include <QByteArray>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QVariantMap>

#include "mqtt/mqttclient.h"
#include "viewmodel/viewmodel.h"

// The auth service's answer to a successful sign-in of user u1, for a quarter of an hour.
extern const QByteArray kSignedInU1;

// The client's objects wired as the program wires them, with the real main.qml. Members go in
// reverse: the engine, the MQTT client, the view model.
struct ClientUi
{
    ViewModel viewModel;
    MqttClient mqtt;
    QQmlApplicationEngine engine;
    QQuickWindow *window = nullptr;

    ClientUi();
    // Loads main.qml with these initial properties; true once its window is exposed.
    bool load(const QVariantMap &initialProperties = {});
};
