import QtQuick
import QtQuick.Layouts

// A titled panel of the dashboard's grid; what is declared inside it goes below the heading.
Rectangle {
    id: card

    property string title
    property string subtitle
    default property alias content: body.data

    radius: 14
    color: Theme.card
    border.color: Theme.cardBorder
    border.width: 1
    Layout.fillWidth: true
    Layout.fillHeight: true
    Layout.minimumHeight: 260

    Column {
        id: heading
        anchors { left: parent.left; right: parent.right; top: parent.top; margins: 20 }
        spacing: 2
        Text {
            text: card.title
            color: Theme.text
            font.pixelSize: 17
            font.bold: true
        }
        Text {
            text: card.subtitle
            color: Theme.muted
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
