import QtQuick

// The broker connection at a glance: live, connecting, waiting to reconnect, not set up, or a
// problem that keeps the dashboard from connecting at all.
Rectangle {
    id: badge

    property bool online
    property bool configured
    property string address
    property bool tls
    property int reconnectIn: -1 // seconds until the next automatic attempt; -1: none due
    property string problem
    // The short forms, for windows too narrow for the address.
    property bool compact
    readonly property alias text: label.text

    readonly property string where: address + (tls ? " · TLS" : "")
    readonly property bool waiting: configured && !online && problem === ""

    height: 36
    width: row.implicitWidth + 28
    radius: 18
    color: "#1c2230"
    border.color: online ? "#1f5e3c" : (waiting ? "#5e4a1f" : "#5e1f2a")

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 8
        Image {
            source: "qrc:/images/mqtt.png"
            width: 18; height: 18
            sourceSize.width: 36; sourceSize.height: 36
            anchors.verticalCenter: parent.verticalCenter
        }
        Rectangle {
            id: dot
            width: 10; height: 10; radius: 5
            anchors.verticalCenter: parent.verticalCenter
            color: badge.online ? Theme.good : (badge.waiting ? Theme.wait : Theme.bad)
            SequentialAnimation on opacity {
                running: badge.waiting
                loops: Animation.Infinite
                NumberAnimation { to: 0.3; duration: 600 }
                NumberAnimation { to: 1.0; duration: 600 }
                onRunningChanged: if (!running) dot.opacity = 1
            }
        }
        Text {
            id: label
            anchors.verticalCenter: parent.verticalCenter
            color: Theme.text
            font.pixelSize: 14
            text: badge.problem !== "" ? badge.problem
                : badge.online ? (badge.compact ? qsTr("Live") : qsTr("Live · %1").arg(badge.where))
                : !badge.configured ? qsTr("No broker")
                : badge.reconnectIn >= 0 ? (badge.compact ? qsTr("Reconnecting in %1 s").arg(badge.reconnectIn)
                                                          : qsTr("Offline · reconnecting in %1 s").arg(badge.reconnectIn))
                : (badge.compact ? qsTr("Connecting…") : qsTr("Connecting to %1…").arg(badge.where))
        }
    }
}
