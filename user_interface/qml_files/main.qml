import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15

Window {
    id: window
    property bool isUserLoggedIn: typeof manager !== "undefined" ? manager.isUserLoggedIn() : false
    width: 800
    height: 600
    minimumWidth: 600
    minimumHeight: 600
    color: "black"
    visible: true
}
