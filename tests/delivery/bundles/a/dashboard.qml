import QtQuick

Item {
    objectName: "dashboardA"
    property string marker: "bundle A"
}
