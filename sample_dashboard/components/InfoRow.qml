import QtQuick

// One fact with an icon: a caption and its value, cut in the middle when too long.
Row {
    id: info

    property url icon
    property string label
    property string value

    spacing: 12
    Image {
        source: info.icon
        width: 22; height: 22
        sourceSize.width: 44; sourceSize.height: 44
        anchors.verticalCenter: parent.verticalCenter
    }
    Column {
        Text { text: info.label; color: Theme.muted; font.pixelSize: 12 }
        Text { text: info.value; color: Theme.text; font.pixelSize: 15; elide: Text.ElideMiddle; width: 260 }
    }
}
