import QtQuick

// The fan as the broker reports it, with a button that asks for the other state. The card
// shows a request as pending until the broker reports a state again.
Card {
    id: fan

    property string topic
    property bool online
    property string fanState: "" // "on", "off", or empty until the broker tells
    property string changedAt: ""
    property bool pending: false
    readonly property bool running: fanState === "on"
    signal switchRequested(bool on)

    function show(message) {
        const reported = message.trim().toLowerCase()
        if (reported !== fanState)
            changedAt = Qt.formatTime(new Date(), "hh:mm:ss")
        fanState = reported
        pending = false
    }

    title: qsTr("Ventilation")
    subtitle: topic
    onOnlineChanged: if (!online) pending = false

    Column {
        anchors { left: parent.left; right: parent.right; top: parent.top }
        spacing: 14
        Row {
            spacing: 14
            Rectangle {
                width: 64; height: 64; radius: 32
                anchors.verticalCenter: parent.verticalCenter
                color: fan.running ? "#14352a" : "#222836"
                Text {
                    anchors.centerIn: parent
                    text: "\u2744"
                    font.pixelSize: 30
                    color: fan.running ? Theme.good : Theme.muted
                    RotationAnimation on rotation {
                        running: fan.running
                        from: 0; to: 360; duration: 2400
                        loops: Animation.Infinite
                    }
                }
            }
            Column {
                anchors.verticalCenter: parent.verticalCenter
                Text {
                    text: fan.fanState === "" ? qsTr("Unknown") : (fan.running ? qsTr("Running") : qsTr("Stopped"))
                    color: Theme.text
                    font.pixelSize: 34
                    font.bold: true
                }
                Text {
                    text: fan.pending ? qsTr("Waiting for the broker…") : qsTr("Fan state as seen on the broker")
                    color: Theme.muted
                    font.pixelSize: 13
                }
            }
        }
        Stat {
            label: qsTr("Last change")
            value: fan.changedAt === "" ? "--" : fan.changedAt
        }
    }

    ActionButton {
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
        height: 52
        clickable: fan.online
        label: fan.running ? qsTr("Turn fan off") : qsTr("Turn fan on")
        onClicked: {
            fan.pending = true
            fan.switchRequested(!fan.running)
        }
    }
}
