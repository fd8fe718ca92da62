import QtQuick 2.15
import QtQuick.Controls 2.15

Item {
    id: page

    property string externalDashboardSource: "qrc:/external/dashboard.qml"
    property var externalDashboardObject: null
    // Bumped by every load and clear, so that a creation scheduled or finishing late cannot
    // resurrect a dashboard that has since been cleared or replaced.
    property int loadGeneration: 0
    // Why no dashboard is shown; while set, the client's own fallback view is.
    property string failureText: ""

    signal retryRequested()
    signal signOutRequested()

    anchors.fill: parent

    // Called from inside signal emissions. The dashboard is made from a fresh event-loop pass
    // instead: its start-up may sign out or reload, which must not meet a half-made load.
    function loadExternalDashboard() {
        clearExternalDashboard()
        failureText = ""
        const generation = loadGeneration
        Qt.callLater(function () { createExternalDashboard(generation) })
    }

    function createExternalDashboard(generation) {
        if (generation !== loadGeneration)
            return
        const component = Qt.createComponent(externalDashboardSource)
        if (component.status === Component.Loading) {
            component.statusChanged.connect(function (status) {
                if (status === Component.Ready || status === Component.Error)
                    finishExternalDashboard(component, generation)
            })
        } else {
            finishExternalDashboard(component, generation)
        }
    }

    function finishExternalDashboard(component, generation) {
        if (generation !== loadGeneration)
            return
        if (component.status === Component.Error) {
            console.error("Failed to load external dashboard component:", component.errorString())
            creationAttemptEnded(false)
            showFailure(qsTr("The dashboard could not be loaded.") + "\n" + component.errorString())
            return
        }
        const object = component.createObject(dashboard_host)
        // The creation attempt ends here, whether or not an object was made.
        creationAttemptEnded(object !== null)
        if (object === null) {
            console.error("Failed to create external dashboard object")
            showFailure(qsTr("The dashboard could not be created.") + "\n" + component.errorString())
            return
        }
        if (generation !== loadGeneration) {
            // Its own start-up cleared or replaced it.
            releaseDashboard(object)
            return
        }
        externalDashboardObject = object
        // Roots that are not items (a QtObject, say) have no anchors to set.
        if (object.anchors !== undefined)
            object.anchors.fill = dashboard_host
    }

    // The bundle got through creating its dashboard without taking the program down.
    function creationAttemptEnded(created) {
        manager.dashboardCreationFinished(created) // qmllint disable unqualified
    }

    // The dashboard, if any, goes; the user can try again or sign out.
    function showFailure(text) {
        clearExternalDashboard()
        // One stopped while it was being made never became externalDashboardObject.
        const strays = dashboard_host.children
        for (let i = 0; i < strays.length; ++i)
            releaseDashboard(strays[i])
        failureText = text
        try_again_button.forceActiveFocus()
    }

    function clearExternalDashboard() {
        ++loadGeneration
        failureText = ""
        const object = externalDashboardObject
        if (!object)
            return
        externalDashboardObject = null
        releaseDashboard(object)
    }

    // Out of sight at once, but deleted by the manager only when none of its handlers can be
    // on the stack any more: it may be the dashboard itself that is signing out or reloading.
    function releaseDashboard(object) {
        if (object.visible !== undefined)
            object.visible = false
        manager.releaseDashboard(object)
    }

    Item {
        id: dashboard_host
        objectName: "dashboardHost"
        anchors.fill: parent
    }

    // Drawn by the client in the palette's colours, whatever the bundle did or failed to do.
    Pane {
        id: fallback
        objectName: "dashboardFallback"
        anchors.fill: parent
        visible: page.failureText !== ""

        Column {
            anchors.centerIn: parent
            width: Math.min(parent.width, 480)
            spacing: 16

            Label {
                objectName: "fallbackText"
                width: parent.width
                wrapMode: Text.Wrap
                text: page.failureText
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }

            Row {
                spacing: 12

                Button {
                    id: try_again_button
                    objectName: "tryAgainButton"
                    text: qsTr("Try again")
                    Accessible.role: Accessible.Button
                    Accessible.name: text
                    KeyNavigation.tab: sign_out_button
                    Keys.onReturnPressed: clicked()
                    Keys.onEnterPressed: clicked()
                    onClicked: page.retryRequested()
                }

                Button {
                    id: sign_out_button
                    objectName: "fallbackSignOutButton"
                    text: qsTr("Sign out")
                    Accessible.role: Accessible.Button
                    Accessible.name: text
                    KeyNavigation.backtab: try_again_button
                    Keys.onReturnPressed: clicked()
                    Keys.onEnterPressed: clicked()
                    onClicked: page.signOutRequested()
                }
            }
        }
    }
}
