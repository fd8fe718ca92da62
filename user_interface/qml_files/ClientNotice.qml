import QtQuick 2.15
import QtQuick.Controls 2.15

// A note the client itself draws over the dashboard, whatever the dashboard does: hidden while
// its text is empty, and read out through the accessibility tree.
Rectangle {
    id: notice

    property alias text: label.text

    visible: text !== ""
    height: label.implicitHeight + 16
    color: "#e6202020"
    border.color: "#c0392b"
    border.width: 1
    radius: 4
    z: 1000

    Accessible.role: Accessible.AlertMessage
    Accessible.name: text

    Label {
        id: label
        anchors.fill: parent
        anchors.margins: 8
        color: "white"
        wrapMode: Text.Wrap
        font.family: "monospace"
    }
}
