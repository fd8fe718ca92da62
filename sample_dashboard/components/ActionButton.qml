import QtQuick

// A flat button with an optional icon. While not clickable it stays visible, greyed out.
// Tab reaches it and Space, Return or Enter press it; a screen reader reads its label.
Rectangle {
    id: button

    property string label
    property url icon
    property color fill: Theme.primaryButton
    property color labelColor: "white"
    property bool clickable: true
    signal clicked()

    implicitWidth: content.implicitWidth + 36
    implicitHeight: 44
    radius: 10
    activeFocusOnTab: true
    border.width: activeFocus ? 2 : 0
    border.color: Theme.text

    Accessible.role: Accessible.Button
    Accessible.name: label
    Accessible.onPressAction: if (clickable) clicked()
    Keys.onPressed: event => {
        if (event.key === Qt.Key_Space || event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
            event.accepted = true
            if (button.clickable)
                button.clicked()
        }
    }
    color: !clickable ? Theme.disabledButton
                      : (area.pressed ? Qt.darker(fill, 1.25) : (area.containsMouse ? Qt.lighter(fill, 1.15) : fill))

    Row {
        id: content
        anchors.centerIn: parent
        spacing: 8
        Image {
            source: button.icon
            visible: String(button.icon) !== ""
            width: 18; height: 18
            sourceSize.width: 36; sourceSize.height: 36
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: button.label
            color: button.clickable ? button.labelColor : Theme.muted
            font.pixelSize: 15
            font.bold: true
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    MouseArea {
        id: area
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: button.clickable ? Qt.PointingHandCursor : Qt.ArrowCursor
        onClicked: if (button.clickable) button.clicked()
    }
}
