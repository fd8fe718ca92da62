import QtQuick

// One sensor's card: its latest reading, a sparkline of the recent ones, their range and the
// time of the last update. Feed it the sensor's messages with push().
Card {
    id: sensor

    property string topic
    property string unit
    property color accent: Theme.text
    property int decimals: 1
    property int historyLength: 90

    property string valueText: "--"
    property var history: []
    property real low: NaN
    property real high: NaN
    property string updatedAt: ""
    property int trend: 0

    // A reading that is not a number is shown as it came and left out of the figures.
    function push(text) {
        const v = parseFloat(text)
        updatedAt = Qt.formatTime(new Date(), "hh:mm:ss")
        if (isNaN(v)) {
            valueText = text
            return
        }
        const previous = history.length > 0 ? history[history.length - 1] : v
        trend = v > previous + 0.05 ? 1 : (v < previous - 0.05 ? -1 : 0)
        valueText = v.toFixed(decimals)
        low = isNaN(low) ? v : Math.min(low, v)
        high = isNaN(high) ? v : Math.max(high, v)
        history = history.concat([v]).slice(-historyLength)
    }

    function figure(v) {
        return isNaN(v) ? "--" : v.toFixed(decimals) + " " + unit
    }

    subtitle: topic

    ValueReadout {
        id: readout
        anchors { left: parent.left; top: parent.top }
        value: sensor.valueText
        unit: sensor.unit
        accent: sensor.accent
        trend: sensor.trend
    }

    Sparkline {
        anchors { left: parent.left; right: parent.right; top: readout.bottom; bottom: stats.top
                  topMargin: 8; bottomMargin: 10 }
        values: sensor.history
        accent: sensor.accent
    }

    Row {
        id: stats
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
        spacing: 24
        Stat { label: qsTr("Min"); value: sensor.figure(sensor.low) }
        Stat { label: qsTr("Max"); value: sensor.figure(sensor.high) }
        Stat { label: qsTr("Updated"); value: sensor.updatedAt === "" ? "--" : sensor.updatedAt }
    }
}
