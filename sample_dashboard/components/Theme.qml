pragma Singleton
import QtQuick

// The dashboard's palette, in one place so that every component matches.
QtObject {
    readonly property color page: "#0d1017"
    readonly property color header: "#141924"
    readonly property color card: "#171c27"
    readonly property color cardBorder: "#232a38"
    readonly property color text: "#f2f5fa"
    readonly property color muted: "#8a93a6"
    readonly property color good: "#2ecc71"
    readonly property color wait: "#f5a524"
    readonly property color bad: "#ff5d5d"
    readonly property color incoming: "#35c2ff"
    readonly property color outgoing: "#ff8a3d"
    // The two buttons keep colours used nowhere else on the page, so they can be found on
    // screen by colour alone.
    readonly property color primaryButton: "#2f6df6"
    readonly property color signOutButton: "#3a2230"
    readonly property color disabledButton: "#2a2f3a"
}
