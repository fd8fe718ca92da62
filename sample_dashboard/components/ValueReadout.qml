import QtQuick

// A reading in large type with its unit, and an arrow for the direction of the last change.
Row {
    id: readout

    property string value: "--"
    property string unit
    property color accent: Theme.text
    property int trend: 0 // 1 rising, -1 falling, 0 steady

    spacing: 6
    Text {
        id: number
        text: readout.value
        color: Theme.text
        font.pixelSize: 64
        font.bold: true
    }
    Text {
        text: readout.unit
        color: readout.accent
        font.pixelSize: 26
        anchors.baseline: number.baseline
    }
    Text {
        text: readout.trend > 0 ? "\u25B2" : (readout.trend < 0 ? "\u25BC" : "")
        color: readout.trend > 0 ? Theme.wait : readout.accent
        font.pixelSize: 20
        anchors.baseline: number.baseline
    }
}
