import QtQuick

// The latest events, newest first: messages in (↓) and out (↑), and connection news (•).
ListView {
    id: list

    property int limit: 50

    // kind: "in", "out" or "info".
    function add(time, kind, topic, text) {
        entries.insert(0, { "time": time, "kind": kind, "topic": topic, "text": text })
        while (entries.count > limit)
            entries.remove(entries.count - 1)
    }

    clip: true
    spacing: 4
    interactive: contentHeight > height
    model: ListModel { id: entries }

    delegate: Row {
        id: entry
        required property string time
        required property string kind
        required property string topic
        required property string text

        spacing: 14
        height: 24
        Text { text: entry.time; color: Theme.muted; font.pixelSize: 13; font.family: "monospace"; width: 70 }
        Text {
            text: entry.kind === "in" ? "\u2193" : (entry.kind === "out" ? "\u2191" : "\u2022")
            color: entry.kind === "in" ? Theme.incoming : (entry.kind === "out" ? Theme.outgoing : Theme.good)
            font.pixelSize: 14
            width: 14
        }
        Text { text: entry.topic; color: Theme.text; font.pixelSize: 14; width: 130; elide: Text.ElideRight }
        Text { text: entry.text; color: Theme.text; font.pixelSize: 14; font.bold: entry.kind !== "info" }
    }
}
