import QtQuick
import Corvalen.Client

// The dashboard's broker connection. start() reads the broker from the client's configuration
// (CORVALEN_MQTT_HOST, CORVALEN_MQTT_PORT, CORVALEN_MQTT_TLS, CORVALEN_MQTT_TLS_CA_FILE), turns
// on automatic reconnect and TLS, and connects; messages on `topics` arrive as received().
// Clients built before reconnect and TLS existed lack those calls, hence the typeof checks.
Item {
    id: link

    property var topics: []

    // Filled in by start().
    property string host
    property int port: 0
    property bool tls: false
    property string caFile // empty: the system's trust store
    property bool configured: false
    property bool autoReconnect: false
    property string problem // why start() did not connect, for the user

    readonly property bool online: client !== null && client.connected
    property int reconnectIn: -1 // seconds until the next automatic attempt; -1: none due

    signal received(string topic, string message)
    signal reconnectScheduled(int seconds)

    // The client's objects; null where an engine publishes none.
    readonly property MqttClient client: Client.mqttClient
    readonly property ViewModel config: Client.manager

    property double reconnectDue: 0

    function setting(key) {
        return config !== null ? config.appConfigValue(key).trim() : ""
    }

    function start() {
        caFile = setting("CORVALEN_MQTT_TLS_CA_FILE")
        tls = caFile !== "" || ["1", "true", "yes", "on"].indexOf(setting("CORVALEN_MQTT_TLS").toLowerCase()) >= 0
        host = setting("CORVALEN_MQTT_HOST") || "127.0.0.1"
        // Checked before it reaches the int property, where NaN would no longer be NaN.
        const configuredPort = parseInt(setting("CORVALEN_MQTT_PORT"), 10)
        port = isNaN(configuredPort) ? (tls ? 8883 : 1883) : configuredPort
        configured = false
        if (client === null || config === null) {
            problem = qsTr("No MQTT client")
            return false
        }
        if (typeof client.SetTls === "function") {
            client.SetTls(tls, caFile)
        } else if (tls) {
            // Plain MQTT in place of the TLS that was asked for would send everything in clear.
            problem = qsTr("This client has no TLS")
            return false
        }
        autoReconnect = typeof client.SetAutoReconnect === "function"
        if (autoReconnect)
            client.SetAutoReconnect(true)
        problem = ""
        configured = config.configureDashboardMqtt(host, port, topics)
        return configured
    }

    function publish(topic, text) {
        if (client !== null)
            client.PublishToTopic(topic, text)
    }

    function countDown() {
        const left = Math.ceil((reconnectDue - Date.now()) / 1000)
        reconnectIn = online || left <= 0 ? -1 : left
        if (reconnectIn < 0)
            countdown.stop()
    }

    onOnlineChanged: countDown()

    Timer {
        id: countdown
        interval: 250
        repeat: true
        onTriggered: link.countDown()
    }

    Connections {
        target: link.client
        ignoreUnknownSignals: true // reconnectScheduled is missing from older clients
        function onMessageReceived(topic, message) {
            link.received(topic, message)
        }
        function onReconnectScheduled(seconds) {
            link.reconnectDue = Date.now() + seconds * 1000
            link.reconnectIn = seconds
            countdown.restart()
            link.reconnectScheduled(seconds)
        }
    }
}
