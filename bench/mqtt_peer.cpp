// The client's side of the MQTT figures: one MqttClient in a widgets application with a Qt Quick
// window, as the program runs it, whose messages go either to a C++ slot or to a QML handler
// that reaches the client through the "mqttClient" context property, as a dashboard does.
//
//   bench_mqtt_peer HOST PORT CLIENT_ID receive|echo cpp|qml [COUNT]
//   bench_mqtt_peer HOST PORT CLIENT_ID flood qml SECONDS RESULT_FILE
//
// receive: subscribes to bench/tp and exits once COUNT messages have arrived.
// echo:    subscribes to bench/ping and publishes every message back to bench/pong.
// flood:   a dashboard with a running animation and a text showing the latest message of
//          bench/flood; from one second after the connection, for SECONDS, it records when each
//          frame is swapped and writes "frames F seconds S longest_gap_ms G messages M" to
//          RESULT_FILE, then exits. Whether anything is published is up to the caller.
// Logging is left as it ships; the caller decides with QT_LOGGING_RULES.

#include <QApplication>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <unistd.h>
#include <vector>

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
    // Each handler does only what its figure asks, as a dashboard's would: the mode is not
    // looked up per message.
    Connections {
        target: handlerInQml && echoing ? mqttClient : null
        function onMessageReceived(topic, message) {
            mqttClient.PublishToTopic("bench/pong", message)
        }
    }
    Connections {
        readonly property int expected: expectedMessages
        target: handlerInQml && !echoing ? mqttClient : null
        function onMessageReceived(topic, message) {
            if (++received === expected)
                Qt.exit(0)
        }
    }
}
)";

// What a dashboard showing live values has: something always moving, and a text bound to the
// latest message.
const char *const FloodQml = R"(
import QtQuick
import QtQuick.Window
Window {
    width: 640
    height: 400
    visible: true
    color: "black"
    property string latest
    property int received: 0
    Connections {
        target: mqttClient
        function onMessageReceived(topic, message) {
            latest = message
            ++received
        }
    }
    Rectangle {
        width: 120
        height: 120
        x: 60
        y: 140
        color: "steelblue"
        RotationAnimation on rotation { from: 0; to: 360; duration: 2000; loops: Animation.Infinite }
    }
    Text { x: 260; y: 180; color: "white"; font.pixelSize: 24; text: latest }
}
)";

qint64 nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Frame swaps, recorded from whichever thread renders.
class FrameLog
{
public:
    void record()
    {
        if (!recording.load(std::memory_order_relaxed))
            return;
        const std::lock_guard lock(mutex);
        times.push_back(nowNs());
    }
    void setRecording(bool on) { recording = on; }
    std::vector<qint64> taken()
    {
        const std::lock_guard lock(mutex);
        return times;
    }

private:
    std::atomic<bool> recording{false};
    std::mutex mutex;
    std::vector<qint64> times;
};

int flood(QApplication &app, MqttClient &client, const QStringList &args)
{
    const int seconds = qMax(1, args.value(6).toInt());
    const QString resultFile = args.value(7);
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("mqttClient"), &client);
    engine.loadData(FloodQml);
    auto *window = engine.rootObjects().isEmpty()
                       ? nullptr
                       : qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    if (!window)
        return 1;
    FrameLog frames;
    QObject::connect(
        window, &QQuickWindow::frameSwapped, window, [&frames] { frames.record(); },
        Qt::DirectConnection);
    int startReceived = 0;
    qint64 startNs = 0;
    QTimer warmUp, measure;
    warmUp.setSingleShot(true);
    measure.setSingleShot(true);
    QObject::connect(&client, &MqttClient::connectedChanged, &app, [&](bool connected) {
        if (connected)
            warmUp.start(1000);
    });
    QObject::connect(&warmUp, &QTimer::timeout, &app, [&] {
        startReceived = window->property("received").toInt();
        startNs = nowNs();
        frames.setRecording(true);
        measure.start(seconds * 1000);
    });
    QObject::connect(&measure, &QTimer::timeout, &app, [&] {
        frames.setRecording(false);
        const qint64 endNs = nowNs();
        const std::vector<qint64> times = frames.taken();
        qint64 longest = 0;
        qint64 previous = startNs;
        for (const qint64 time : times) {
            longest = qMax(longest, time - previous);
            previous = time;
        }
        longest = qMax(longest, endNs - previous);
        QFile out(resultFile);
        if (out.open(QIODevice::WriteOnly))
            out.write(QStringLiteral("frames %1 seconds %2 longest_gap_ms %3 messages %4\n")
                          .arg(times.size())
                          .arg(double(endNs - startNs) / 1e9, 0, 'f', 3)
                          .arg(double(longest) / 1e6, 0, 'f', 1)
                          .arg(window->property("received").toInt() - startReceived)
                          .toUtf8());
        QCoreApplication::exit(out.error() == QFile::NoError ? 0 : 1);
    });
    client.SetClientId(args.at(3));
    client.ConfigureAndConnect(args.at(1), args.at(2).toUInt(), {QStringLiteral("bench/flood")});
    return app.exec();
}

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
    if (args.at(4) == QLatin1String("flood")) {
        const int result = flood(app, client, args);
        std::fflush(stderr);
        _exit(result);
    }
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
