// Sample live dashboard, delivered to the client as a resource bundle and shown as
// qrc:/external/dashboard.qml. It reaches the program only through the context
// objects "manager" and "mqttClient".
import QtQuick
import QtQuick.Layouts

Rectangle {
    id: dashboard

    // The build derives the second bundle variant by rewriting this line.
    property string dashboardTitle: "Sample dashboard"

    readonly property string topicRoot: "corvalen/demo/"
    readonly property string temperatureTopic: topicRoot + "temperature"
    readonly property string humidityTopic: topicRoot + "humidity"
    readonly property string fanTopic: topicRoot + "fan"
    readonly property var topics: [temperatureTopic, humidityTopic, fanTopic]

    property string brokerHost: ""
    property int brokerPort: 0
    property bool configured: false
    readonly property bool online: typeof mqttClient !== "undefined" && mqttClient.connected
    property string onlineSince: ""
    property int messageCount: 0
    property string fanState: ""
    property string fanChangedAt: ""
    property bool fanRequestPending: false

    readonly property color pageColor: "#0d1017"
    readonly property color headerColor: "#141924"
    readonly property color cardColor: "#171c27"
    readonly property color cardBorder: "#232a38"
    readonly property color textColor: "#f2f5fa"
    readonly property color mutedColor: "#8a93a6"
    readonly property color goodColor: "#2ecc71"
    readonly property color waitColor: "#f5a524"
    readonly property color badColor: "#ff5d5d"
    // The two buttons keep colours used nowhere else on the page, so they can be
    // found on screen by colour alone.
    readonly property color primaryButtonColor: "#2f6df6"
    readonly property color signOutButtonColor: "#3a2230"

    color: pageColor

    function now() {
        return Qt.formatTime(new Date(), "hh:mm:ss")
    }

    function shortTopic(topic) {
        return topic.indexOf(topicRoot) === 0 ? topic.substring(topicRoot.length) : topic
    }

    function addActivity(kind, topic, text) {
        activityModel.insert(0, { "time": now(), "kind": kind, "topic": shortTopic(topic), "text": text })
        while (activityModel.count > 50)
            activityModel.remove(activityModel.count - 1)
    }

    function publish(topic, text) {
        console.log("Sample dashboard published", topic, text)
        mqttClient.PublishToTopic(topic, text)
        addActivity("out", topic, text)
    }

    function connectToBroker() {
        brokerHost = manager.appConfigValue("CORVALEN_MQTT_HOST").trim()
        if (brokerHost === "")
            brokerHost = "127.0.0.1"
        brokerPort = parseInt(manager.appConfigValue("CORVALEN_MQTT_PORT"), 10)
        if (isNaN(brokerPort))
            brokerPort = 1883
        configured = manager.configureDashboardMqtt(brokerHost, brokerPort, topics)
        console.log("Sample dashboard MQTT broker", brokerHost + ":" + brokerPort,
                    configured ? "configured" : "rejected")
    }

    Component.onCompleted: {
        console.log("Sample dashboard loaded:", dashboardTitle)
        connectToBroker()
    }
    Component.onDestruction: console.log("Sample dashboard closed:", dashboardTitle)

    onOnlineChanged: {
        console.log("Sample dashboard MQTT", online ? "connected" : "disconnected")
        onlineSince = online ? now() : ""
        if (!online)
            fanRequestPending = false
        addActivity("info", "", online ? qsTr("Connected to the broker") : qsTr("Broker connection lost"))
    }

    Connections {
        target: typeof mqttClient !== "undefined" ? mqttClient : null
        function onMessageReceived(topic, message) {
            console.log("Sample dashboard received", topic, message)
            messageCount += 1
            if (topic === temperatureTopic)
                temperatureCard.push(message)
            else if (topic === humidityTopic)
                humidityCard.push(message)
            else if (topic === fanTopic) {
                var state = message.trim().toLowerCase()
                if (state !== fanState)
                    fanChangedAt = now()
                fanState = state
                fanRequestPending = false
            }
            addActivity("in", topic, message)
        }
    }

    ListModel {
        id: activityModel
    }

    component Card: Rectangle {
        property string title
        property string subtitle
        default property alias content: body.data
        radius: 14
        color: dashboard.cardColor
        border.color: dashboard.cardBorder
        border.width: 1
        Layout.fillWidth: true
        Layout.fillHeight: true
        Layout.minimumHeight: 260

        Column {
            id: heading
            anchors { left: parent.left; right: parent.right; top: parent.top; margins: 20 }
            spacing: 2
            Text {
                text: title
                color: dashboard.textColor
                font.pixelSize: 17
                font.bold: true
            }
            Text {
                text: subtitle
                color: dashboard.mutedColor
                font.pixelSize: 12
                visible: text !== ""
            }
        }
        Item {
            id: body
            anchors { left: parent.left; right: parent.right; top: heading.bottom; bottom: parent.bottom
                      leftMargin: 20; rightMargin: 20; topMargin: 12; bottomMargin: 18 }
        }
    }

    component DashButton: Rectangle {
        id: button
        property string label
        property url icon
        property color fill: dashboard.primaryButtonColor
        property color labelColor: "white"
        property bool enabledState: true
        signal clicked()
        implicitWidth: buttonRow.implicitWidth + 36
        implicitHeight: 44
        radius: 10
        color: !enabledState ? "#2a2f3a" : (area.pressed ? Qt.darker(fill, 1.25)
                                             : (area.containsMouse ? Qt.lighter(fill, 1.15) : fill))
        Row {
            id: buttonRow
            anchors.centerIn: parent
            spacing: 8
            Image {
                source: button.icon
                visible: button.icon.toString() !== ""
                width: 18; height: 18
                sourceSize: Qt.size(36, 36)
                anchors.verticalCenter: parent.verticalCenter
            }
            Text {
                text: button.label
                color: button.enabledState ? button.labelColor : dashboard.mutedColor
                font.pixelSize: 15
                font.bold: true
                anchors.verticalCenter: parent.verticalCenter
            }
        }
        MouseArea {
            id: area
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: button.enabledState ? Qt.PointingHandCursor : Qt.ArrowCursor
            onClicked: if (button.enabledState) button.clicked()
        }
    }

    component MetricCard: Card {
        id: metric
        property string topic
        property string unit
        property color accent
        property int decimals: 1
        property string valueText: "--"
        property var history: []
        property real low: NaN
        property real high: NaN
        property string updatedAt: ""
        property int trend: 0

        function push(text) {
            var v = parseFloat(text)
            updatedAt = dashboard.now()
            if (isNaN(v)) {
                valueText = text
                return
            }
            var previous = history.length > 0 ? history[history.length - 1] : v
            trend = v > previous + 0.05 ? 1 : (v < previous - 0.05 ? -1 : 0)
            valueText = v.toFixed(decimals)
            low = isNaN(low) ? v : Math.min(low, v)
            high = isNaN(high) ? v : Math.max(high, v)
            history = history.concat([v]).slice(-90)
            spark.requestPaint()
        }

        subtitle: topic

        Row {
            id: valueRow
            anchors { left: parent.left; top: parent.top }
            spacing: 6
            Text {
                text: metric.valueText
                color: dashboard.textColor
                font.pixelSize: 64
                font.bold: true
            }
            Text {
                text: metric.unit
                color: metric.accent
                font.pixelSize: 26
                anchors.baseline: parent.children[0].baseline
            }
            Text {
                text: metric.trend > 0 ? "\u25B2" : (metric.trend < 0 ? "\u25BC" : "")
                color: metric.trend > 0 ? dashboard.waitColor : metric.accent
                font.pixelSize: 20
                anchors.baseline: parent.children[0].baseline
            }
        }

        Canvas {
            id: spark
            anchors { left: parent.left; right: parent.right; top: valueRow.bottom; bottom: stats.top
                      topMargin: 8; bottomMargin: 10 }
            onWidthChanged: requestPaint()
            onHeightChanged: requestPaint()
            onPaint: {
                var ctx = getContext("2d")
                ctx.reset()
                var points = metric.history
                if (points.length < 2 || width <= 0 || height <= 0)
                    return
                var lo = Math.min.apply(null, points)
                var hi = Math.max.apply(null, points)
                if (hi - lo < 0.5) {
                    hi += 0.25
                    lo -= 0.25
                }
                // A short history is spread over the whole width; a full one scrolls.
                var step = width / (points.length - 1)
                var x0 = 0
                function yOf(v) { return 4 + (height - 8) * (1 - (v - lo) / (hi - lo)) }
                ctx.beginPath()
                ctx.moveTo(x0, yOf(points[0]))
                for (var i = 1; i < points.length; ++i)
                    ctx.lineTo(x0 + i * step, yOf(points[i]))
                ctx.lineWidth = 2.5
                ctx.strokeStyle = metric.accent
                ctx.stroke()
                ctx.lineTo(width, height)
                ctx.lineTo(x0, height)
                ctx.closePath()
                var gradient = ctx.createLinearGradient(0, 0, 0, height)
                gradient.addColorStop(0, Qt.rgba(metric.accent.r, metric.accent.g, metric.accent.b, 0.35))
                gradient.addColorStop(1, Qt.rgba(metric.accent.r, metric.accent.g, metric.accent.b, 0.0))
                ctx.fillStyle = gradient
                ctx.fill()
            }
            Text {
                anchors.centerIn: parent
                visible: metric.history.length < 2
                text: qsTr("Waiting for data…")
                color: dashboard.mutedColor
                font.pixelSize: 13
            }
        }

        Row {
            id: stats
            anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
            spacing: 24
            Stat {
                label: qsTr("Min")
                value: isNaN(metric.low) ? "--" : metric.low.toFixed(metric.decimals) + " " + metric.unit
            }
            Stat {
                label: qsTr("Max")
                value: isNaN(metric.high) ? "--" : metric.high.toFixed(metric.decimals) + " " + metric.unit
            }
            Stat {
                label: qsTr("Updated")
                value: metric.updatedAt === "" ? "--" : metric.updatedAt
            }
        }
    }

    component Stat: Column {
        property string label
        property string value
        spacing: 2
        Text { text: parent.label; color: dashboard.mutedColor; font.pixelSize: 12 }
        Text { text: parent.value; color: dashboard.textColor; font.pixelSize: 15 }
    }

    component InfoRow: Row {
        id: info
        property url icon
        property string label
        property string value
        spacing: 12
        Image {
            source: info.icon
            width: 22; height: 22
            sourceSize: Qt.size(44, 44)
            anchors.verticalCenter: parent.verticalCenter
        }
        Column {
            Text { text: info.label; color: dashboard.mutedColor; font.pixelSize: 12 }
            Text { text: info.value; color: dashboard.textColor; font.pixelSize: 15; elide: Text.ElideMiddle; width: 260 }
        }
    }

    Rectangle {
        id: header
        anchors { left: parent.left; right: parent.right; top: parent.top }
        height: 76
        color: dashboard.headerColor

        Rectangle {
            anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
            height: 1
            color: dashboard.cardBorder
        }

        Row {
            anchors { left: parent.left; leftMargin: 24; verticalCenter: parent.verticalCenter }
            spacing: 14
            Image {
                source: "qrc:/images/logo.png"
                width: 44; height: 44
                sourceSize: Qt.size(88, 88)
                fillMode: Image.PreserveAspectCrop
                anchors.verticalCenter: parent.verticalCenter
            }
            Column {
                anchors.verticalCenter: parent.verticalCenter
                spacing: 2
                Text {
                    objectName: "dashboardTitle"
                    text: dashboard.dashboardTitle
                    color: dashboard.textColor
                    font.pixelSize: 22
                    font.bold: true
                }
                Text {
                    text: qsTr("Demo plant · live sensor feed")
                    color: dashboard.mutedColor
                    font.pixelSize: 13
                }
            }
        }

        Row {
            anchors { right: parent.right; rightMargin: 24; verticalCenter: parent.verticalCenter }
            spacing: 16

            Rectangle {
                id: statusPill
                anchors.verticalCenter: parent.verticalCenter
                height: 36
                width: statusRow.implicitWidth + 28
                radius: 18
                color: "#1c2230"
                border.color: dashboard.online ? "#1f5e3c" : "#5e4a1f"
                Row {
                    id: statusRow
                    anchors.centerIn: parent
                    spacing: 8
                    Image {
                        source: "qrc:/images/mqtt.png"
                        width: 18; height: 18
                        sourceSize: Qt.size(36, 36)
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    Rectangle {
                        id: statusDot
                        width: 10; height: 10; radius: 5
                        anchors.verticalCenter: parent.verticalCenter
                        color: dashboard.online ? dashboard.goodColor
                                                : (dashboard.configured ? dashboard.waitColor : dashboard.badColor)
                        SequentialAnimation on opacity {
                            running: !dashboard.online && dashboard.configured
                            loops: Animation.Infinite
                            NumberAnimation { to: 0.3; duration: 600 }
                            NumberAnimation { to: 1.0; duration: 600 }
                            onRunningChanged: if (!running) statusDot.opacity = 1
                        }
                    }
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        color: dashboard.textColor
                        font.pixelSize: 14
                        // Narrow windows get the short form so the pill never covers the title.
                        readonly property bool compact: header.width < 860
                        readonly property string address: dashboard.brokerHost + ":" + dashboard.brokerPort
                        text: dashboard.online ? (compact ? qsTr("Live") : qsTr("Live · %1").arg(address))
                                               : (dashboard.configured ? (compact ? qsTr("Connecting…") : qsTr("Connecting to %1…").arg(address))
                                                                       : qsTr("No broker"))
                    }
                }
            }

            DashButton {
                anchors.verticalCenter: parent.verticalCenter
                label: qsTr("Sign out")
                icon: "qrc:/images/logout.png"
                fill: dashboard.signOutButtonColor
                labelColor: "#ffb4b4"
                onClicked: {
                    console.log("Sample dashboard signing out")
                    manager.logUserOut()
                }
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

            MetricCard {
                id: temperatureCard
                title: qsTr("Temperature")
                topic: dashboard.temperatureTopic
                unit: "°C"
                accent: "#ff8a3d"
            }

            MetricCard {
                id: humidityCard
                title: qsTr("Humidity")
                topic: dashboard.humidityTopic
                unit: "%"
                decimals: 0
                accent: "#35c2ff"
            }

            Card {
                id: ventilationCard
                title: qsTr("Ventilation")
                subtitle: dashboard.fanTopic
                readonly property bool fanOn: dashboard.fanState === "on"
                Column {
                    anchors { left: parent.left; right: parent.right; top: parent.top }
                    spacing: 14
                    Row {
                        spacing: 14
                        Rectangle {
                            width: 64; height: 64; radius: 32
                            anchors.verticalCenter: parent.verticalCenter
                            color: ventilationCard.fanOn ? "#14352a" : "#222836"
                            Text {
                                anchors.centerIn: parent
                                text: "\u2744"
                                font.pixelSize: 30
                                color: ventilationCard.fanOn ? dashboard.goodColor : dashboard.mutedColor
                                RotationAnimation on rotation {
                                    running: ventilationCard.fanOn
                                    from: 0; to: 360; duration: 2400
                                    loops: Animation.Infinite
                                }
                            }
                        }
                        Column {
                            anchors.verticalCenter: parent.verticalCenter
                            Text {
                                text: dashboard.fanState === "" ? qsTr("Unknown")
                                                                : (ventilationCard.fanOn ? qsTr("Running") : qsTr("Stopped"))
                                color: dashboard.textColor
                                font.pixelSize: 34
                                font.bold: true
                            }
                            Text {
                                text: dashboard.fanRequestPending ? qsTr("Waiting for the broker…")
                                                                  : qsTr("Fan state as seen on the broker")
                                color: dashboard.mutedColor
                                font.pixelSize: 13
                            }
                        }
                    }
                    Stat {
                        label: qsTr("Last change")
                        value: dashboard.fanChangedAt === "" ? "--" : dashboard.fanChangedAt
                    }
                }
                DashButton {
                    anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
                    height: 52
                    enabledState: dashboard.online
                    label: ventilationCard.fanOn ? qsTr("Turn fan off") : qsTr("Turn fan on")
                    onClicked: {
                        dashboard.fanRequestPending = true
                        dashboard.publish(dashboard.fanTopic, ventilationCard.fanOn ? "off" : "on")
                    }
                }
            }

            Card {
                title: qsTr("Activity")
                subtitle: qsTr("Latest messages, newest first")
                Layout.columnSpan: grid.columns >= 3 ? 2 : 1
                ListView {
                    anchors.fill: parent
                    clip: true
                    model: activityModel
                    spacing: 4
                    interactive: contentHeight > height
                    delegate: Row {
                        spacing: 14
                        height: 24
                        Text { text: model.time; color: dashboard.mutedColor; font.pixelSize: 13; font.family: "monospace"; width: 70 }
                        Text {
                            text: model.kind === "in" ? "\u2193" : (model.kind === "out" ? "\u2191" : "\u2022")
                            color: model.kind === "in" ? "#35c2ff" : (model.kind === "out" ? "#ff8a3d" : dashboard.goodColor)
                            font.pixelSize: 14
                            width: 14
                        }
                        Text { text: model.topic; color: dashboard.textColor; font.pixelSize: 14; width: 130; elide: Text.ElideRight }
                        Text { text: model.text; color: dashboard.textColor; font.pixelSize: 14; font.bold: model.kind !== "info" }
                    }
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
                        label: qsTr("Broker")
                        value: dashboard.brokerHost === "" ? "--" : dashboard.brokerHost + ":" + dashboard.brokerPort
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
                        value: manager.currentUserId()
                    }
                }
            }
        }
    }
}
