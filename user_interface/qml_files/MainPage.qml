import QtQuick 2.15

Item {
    id: page

    property string externalDashboardSource: "qrc:/external/dashboard.qml"
    property var externalDashboardObject: null
    // Bumped by every load and clear, so that a creation scheduled or finishing late cannot
    // resurrect a dashboard that has since been cleared or replaced.
    property int loadGeneration: 0

    anchors.fill: parent

    // Called from inside signal emissions. The dashboard is made from a fresh event-loop pass
    // instead: its start-up may sign out or reload, which must not meet a half-made load.
    function loadExternalDashboard() {
        clearExternalDashboard()
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
            return
        }
        const object = component.createObject(dashboard_host)
        // The creation attempt ends here, whether or not an object was made.
        creationAttemptEnded(object !== null)
        if (object === null) {
            console.error("Failed to create external dashboard object")
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

    function clearExternalDashboard() {
        ++loadGeneration
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
}
