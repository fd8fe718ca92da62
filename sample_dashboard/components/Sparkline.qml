import QtQuick

// The recent values as a line over a fading area, scaled to their own range.
Canvas {
    id: spark

    property var values: []
    property color accent: Theme.text

    onValuesChanged: requestPaint()
    onWidthChanged: requestPaint()
    onHeightChanged: requestPaint()

    onPaint: {
        const ctx = getContext("2d")
        ctx.reset()
        const points = values
        if (points.length < 2 || width <= 0 || height <= 0)
            return
        let lo = Math.min.apply(null, points)
        let hi = Math.max.apply(null, points)
        // A nearly flat series would otherwise swing across the whole height.
        if (hi - lo < 0.5) {
            hi += 0.25
            lo -= 0.25
        }
        const step = width / (points.length - 1)
        const yOf = v => 4 + (height - 8) * (1 - (v - lo) / (hi - lo))
        ctx.beginPath()
        ctx.moveTo(0, yOf(points[0]))
        for (let i = 1; i < points.length; ++i)
            ctx.lineTo(i * step, yOf(points[i]))
        ctx.lineWidth = 2.5
        ctx.strokeStyle = accent
        ctx.stroke()
        ctx.lineTo(width, height)
        ctx.lineTo(0, height)
        ctx.closePath()
        const gradient = ctx.createLinearGradient(0, 0, 0, height)
        gradient.addColorStop(0, Qt.rgba(accent.r, accent.g, accent.b, 0.35))
        gradient.addColorStop(1, Qt.rgba(accent.r, accent.g, accent.b, 0.0))
        ctx.fillStyle = gradient
        ctx.fill()
    }

    Text {
        anchors.centerIn: parent
        visible: spark.values.length < 2
        text: qsTr("Waiting for data…")
        color: Theme.muted
        font.pixelSize: 13
    }
}
