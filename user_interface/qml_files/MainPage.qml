import QtQuick 2.15

Item {
    anchors.fill: parent
}
