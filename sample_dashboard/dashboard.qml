// Sample live dashboard, delivered to the client as a resource bundle and shown as
// qrc:/external/dashboard.qml. It is put together from the components in components/, which
// travel in the same bundle, and reaches the program only through Client.manager and
// Client.mqttClient of the client's Corvalen.Client module.
import QtQuick
import QtQuick.Layouts
import Corvalen.Client
import "components"

Rectangle {
    id: dashboard

    // The build derives the second bundle variant by rewriting this line.
    property string dashboardTitle: "Sample dashboard"

    readonly property string topicRoot: "corvalen/demo/"
    readonly property string temperatureTopic: topicRoot + "temperature"
    readonly property string humidityTopic: topicRoot + "humidity"
    readonly property string fanTopic: topicRoot + "fan"

    property string onlineSince: ""
    property int messageCount: 0

    color: Theme.page

    function now() {
        return Qt.formatTime(new Date(), "hh:mm:ss")
    }

    function note(kind, topic, text) {
        const shortTopic = topic.indexOf(topicRoot) === 0 ? topic.substring(topicRoot.length) : topic
        activity.add(now(), kind, shortTopic, text)
    }

    function publish(topic, text) {
        console.log("Sample dashboard published", topic, text)
        broker.publish(topic, text)
        note("out", topic, text)
    }

    Component.onCompleted: {
        console.log("Sample dashboard loaded:", dashboardTitle)
        const configured = broker.start()
        console.log("Sample dashboard MQTT broker", broker.host + ":" + broker.port,
                    configured ? "configured" : "rejected")
        if (broker.problem !== "") {
            console.warn("Sample dashboard MQTT not started:", broker.problem)
            note("info", "", broker.problem)
        }
        else if (broker.tls)
            console.log("Sample dashboard MQTT over TLS, CA file:", broker.caFile || "system trust store")
    }
    Component.onDestruction: console.log("Sample dashboard closed:", dashboardTitle)

    BrokerLink {
        id: broker
        objectName: "brokerLink"
        topics: [dashboard.temperatureTopic, dashboard.humidityTopic, dashboard.fanTopic]

        onOnlineChanged: {
            console.log("Sample dashboard MQTT", online ? "connected" : "disconnected")
            dashboard.onlineSince = online ? dashboard.now() : ""
            dashboard.note("info", "", online ? qsTr("Connected to the broker") : qsTr("Broker connection lost"))
        }
        onReconnectScheduled: seconds => {
            console.log("Sample dashboard MQTT reconnecting in", seconds, "s")
            dashboard.note("info", "", qsTr("Next attempt in %1 s").arg(seconds))
        }
        onReceived: (topic, message) => {
            console.log("Sample dashboard received", topic, message)
            dashboard.messageCount += 1
            if (topic === dashboard.temperatureTopic)
                temperatureCard.push(message)
            else if (topic === dashboard.humidityTopic)
                humidityCard.push(message)
            else if (topic === dashboard.fanTopic)
                fanCard.show(message)
            dashboard.note("in", topic, message)
        }
    }

    TitleBar {
        id: header
        anchors { left: parent.left; right: parent.right; top: parent.top }
        title: dashboard.dashboardTitle
        subtitle: qsTr("Demo plant · live sensor feed")

        ConnectionBadge {
            objectName: "connectionBadge"
            anchors.verticalCenter: parent.verticalCenter
            // Narrow windows get the short forms so that the badge never covers the title.
            compact: header.width < 860
            online: broker.online
            configured: broker.configured
            address: broker.host + ":" + broker.port
            tls: broker.tls
            reconnectIn: broker.reconnectIn
            problem: broker.problem
        }

        ActionButton {
            anchors.verticalCenter: parent.verticalCenter
            label: qsTr("Sign out")
            icon: "qrc:/images/logout.png"
            fill: Theme.signOutButton
            labelColor: "#ffb4b4"
            onClicked: {
                console.log("Sample dashboard signing out")
                Client.manager.logUserOut()
            }
        }
    }

    Flickable {
        id: scroller
        anchors { left: parent.left; right: parent.right; top: header.bottom; bottom: parent.bottom }
        contentWidth: width
        contentHeight: Math.max(height, grid.implicitHeight + 48)
        clip: true
        boundsBehavior: Flickable.StopAtBounds

        GridLayout {
            id: grid
            x: 24
            y: 24
            width: scroller.width - 48
            height: scroller.contentHeight - 48
            columns: scroller.width >= 1100 ? 3 : (scroller.width >= 720 ? 2 : 1)
            columnSpacing: 20
            rowSpacing: 20

            SensorCard {
                id: temperatureCard
                objectName: "temperatureCard"
                title: qsTr("Temperature")
                topic: dashboard.temperatureTopic
                unit: "°C"
                accent: "#ff8a3d"
            }

            SensorCard {
                id: humidityCard
                objectName: "humidityCard"
                title: qsTr("Humidity")
                topic: dashboard.humidityTopic
                unit: "%"
                decimals: 0
                accent: "#35c2ff"
            }

            FanCard {
                id: fanCard
                objectName: "fanCard"
                topic: dashboard.fanTopic
                online: broker.online
                onSwitchRequested: on => dashboard.publish(dashboard.fanTopic, on ? "on" : "off")
            }

            Card {
                title: qsTr("Activity")
                subtitle: qsTr("Latest messages, newest first")
                Layout.columnSpan: grid.columns >= 3 ? 2 : 1
                ActivityList {
                    id: activity
                    anchors.fill: parent
                }
            }

            Card {
                title: qsTr("Session")
                subtitle: qsTr("This dashboard's connection")
                Column {
                    anchors { left: parent.left; right: parent.right; top: parent.top }
                    spacing: 14
                    InfoRow {
                        icon: "qrc:/images/mqtt.png"
                        label: broker.tls ? qsTr("Broker (TLS)") : qsTr("Broker")
                        value: broker.host === "" ? "--" : broker.host + ":" + broker.port
                    }
                    InfoRow {
                        icon: "qrc:/images/mqtt.png"
                        label: qsTr("Online since")
                        value: dashboard.onlineSince === "" ? "--" : dashboard.onlineSince
                    }
                    InfoRow {
                        icon: "qrc:/images/mqtt.png"
                        label: qsTr("Messages received")
                        value: String(dashboard.messageCount)
                    }
                    InfoRow {
                        icon: "qrc:/images/email.png"
                        label: qsTr("Account")
                        value: Client.manager.currentUserId()
                    }
                }
            }
        }
    }
}
