import QtQuick

// The header: logo, title and a line about the dashboard on the left; what is declared inside
// it lines up on the right.
Rectangle {
    id: bar

    property string title
    property string subtitle
    default property alias actions: actionRow.data

    height: 76
    color: Theme.header

    Rectangle {
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
        height: 1
        color: Theme.cardBorder
    }

    Row {
        anchors { left: parent.left; leftMargin: 24; verticalCenter: parent.verticalCenter }
        spacing: 14
        Image {
            source: "qrc:/images/logo.png"
            width: 44; height: 44
            sourceSize.width: 88; sourceSize.height: 88
            fillMode: Image.PreserveAspectCrop
            anchors.verticalCenter: parent.verticalCenter
        }
        Column {
            anchors.verticalCenter: parent.verticalCenter
            spacing: 2
            Text {
                objectName: "dashboardTitle"
                text: bar.title
                color: Theme.text
                font.pixelSize: 22
                font.bold: true
            }
            Text {
                text: bar.subtitle
                color: Theme.muted
                font.pixelSize: 13
            }
        }
    }

    Row {
        id: actionRow
        anchors { right: parent.right; rightMargin: 24; verticalCenter: parent.verticalCenter }
        spacing: 16
    }
}
