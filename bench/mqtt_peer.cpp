// The client's side of the MQTT figures: one MqttClient in a widgets application with a Qt Quick
// window, as the program runs it, whose messages go either to a C++ slot or to a QML handler
// that reaches the client through the "mqttClient" context property, as a dashboard does.
//
//   bench_mqtt_peer HOST PORT CLIENT_ID receive|echo cpp|qml [COUNT]
//
// receive: subscribes to bench/tp and exits once COUNT messages have arrived.
// echo:    subscribes to bench/ping and publishes every message back to bench/pong.
// Logging is left as it ships; the caller decides with QT_LOGGING_RULES.

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "mqtt/mqttclient.h"

namespace {

const char *const WindowQml = R"(
import QtQuick
import QtQuick.Window
Window {
    width: 320
    height: 200
    visible: true
    color: "black"
    property int received: 0
    Connections {
        target: handlerInQml ? mqttClient : null
        function onMessageReceived(topic, message) {
            if (echoing)
                mqttClient.PublishToTopic("bench/pong", message)
            else if (++received === expectedMessages)
                Qt.exit(0)
        }
    }
}
)";

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 6) {
        std::fprintf(stderr, "usage: %s HOST PORT CLIENT_ID receive|echo cpp|qml [COUNT]\n",
                     argv[0]);
        return 2;
    }
    const QString &host = args.at(1);
    const uint port = args.at(2).toUInt();
    const bool echoing = args.at(4) == QLatin1String("echo");
    const bool inQml = args.at(5) == QLatin1String("qml");
    const int expected = args.value(6).toInt();

    MqttClient client;
    int received = 0;
    if (!inQml) {
        QObject::connect(&client, &MqttClient::messageReceived, &client,
                         [&](const QString &, const QString &message) {
                             if (echoing)
                                 client.PublishToTopic(QStringLiteral("bench/pong"), message);
                             else if (++received == expected)
                                 QCoreApplication::exit(0);
                         });
    }

    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("mqttClient"), &client);
    engine.rootContext()->setContextProperty(QStringLiteral("handlerInQml"), inQml);
    engine.rootContext()->setContextProperty(QStringLiteral("echoing"), echoing);
    engine.rootContext()->setContextProperty(QStringLiteral("expectedMessages"), expected);
    engine.loadData(WindowQml);
    if (engine.rootObjects().isEmpty())
        return 1;

    client.SetClientId(args.at(3));
    client.ConfigureAndConnect(
        host, port, {echoing ? QStringLiteral("bench/ping") : QStringLiteral("bench/tp")});
    const int result = app.exec();
    // The figure ends with the last message; tearing the window down is no part of it.
    std::fflush(stderr);
    _exit(result);
}
