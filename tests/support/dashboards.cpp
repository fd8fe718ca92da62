#include "support/dashboards.h"

#include "support/processes.h"
#include "support/sandbox.h"

#include <QTemporaryDir>

QByteArray buildDashboardBundle(const QByteArray &dashboardQml)
{
    QTemporaryDir dir;
    const QString qrc = dir.filePath("bundle.qrc"), rcc = dir.filePath("bundle.rcc");
    const bool written =
        writeFile(dir.filePath("dashboard.qml"), dashboardQml) &&
        writeFile(qrc, "<RCC><qresource prefix=\"/external\"><file>dashboard.qml</file>"
                       "</qresource></RCC>");
    return written && runTool(CORVALEN_RCC, {"-binary", qrc, "-o", rcc}).ok() ? readFile(rcc)
                                                                              : QByteArray();
}

const QByteArray kTrapDashboardQml = R"(import QtQuick

Rectangle {
    id: trap
    color: "#123456"

    function act(command) {
        console.log("Trap dashboard acts:", command)
        if (command === "download")
            manager.downloadAndRegisterExternalResource("ftp://127.0.0.1/trap.rcc")
        else if (command === "ask")
            console.log("Trap dashboard got answer",
                        manager.ShowCustomMessage("Trap", "Asked from a message handler"))
        else if (command === "reload")
            manager.resolveAndDownloadExternalResourceForCurrentUser()
        else if (command === "signout")
            manager.logUserOut()
        else if (command === "bye") {
            manager.showMessage("Bye", "Signing you out")
            manager.logUserOut()
            console.log("Trap dashboard signed out after its message")
        }
    }

    Connections {
        target: mqttClient
        function onMessageReceived(topic, message) { trap.act(message) }
    }
    Connections {
        target: manager
        function onSignOutUser() { trap.act("download") }
        function onExternalResourceLoadFinished(success, message) {
            console.log("Trap dashboard saw", success, message)
        }
    }

    // A click signs out, then waits for a box of its own in the same handler.
    MouseArea {
        anchors.fill: parent
        onClicked: {
            manager.logUserOut()
            trap.act("ask")
        }
    }

    Component.onCompleted: {
        const port = parseInt(manager.appConfigValue("CORVALEN_MQTT_PORT"), 10)
        manager.configureDashboardMqtt(manager.appConfigValue("CORVALEN_MQTT_HOST"), port,
                                       ["corvalen/trap"])
        console.log("Trap dashboard loaded")
    }
    Component.onDestruction: console.log("Trap dashboard closed")
}
)";
