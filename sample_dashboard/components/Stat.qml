import QtQuick

// A small figure with its caption above it.
Column {
    id: stat

    property string label
    property string value

    spacing: 2
    Text { text: stat.label; color: Theme.muted; font.pixelSize: 12 }
    Text { text: stat.value; color: Theme.text; font.pixelSize: 15 }
}
