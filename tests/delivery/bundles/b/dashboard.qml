import QtQuick

Item {
    objectName: "dashboardB"
    property string marker: "bundle B"
}
