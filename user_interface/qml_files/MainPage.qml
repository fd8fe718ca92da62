import QtQuick 2.15

Item {
    id: page

    property string externalDashboardSource: "qrc:/external/dashboard.qml"
    property var externalDashboardObject: null
    // Bumped by every load and clear, so a component that finishes loading late cannot
    // resurrect a dashboard that has since been cleared or replaced.
    property int loadGeneration: 0

    anchors.fill: parent

    function loadExternalDashboard() {
        clearExternalDashboard()
        const generation = ++loadGeneration
        const component = Qt.createComponent(externalDashboardSource)

        const create = function () {
            if (component.status === Component.Error) {
                console.error("Failed to load external dashboard component:", component.errorString())
                return false
            }
            const object = component.createObject(dashboard_host)
            if (object === null) {
                console.error("Failed to create external dashboard object")
                return false
            }
            externalDashboardObject = object
            // Roots that are not items (a QtObject, say) have no anchors to set.
            if (object.anchors !== undefined)
                object.anchors.fill = dashboard_host
            return true
        }
        const finish = function () {
            if (generation !== loadGeneration)
                return
            const created = create()
            // The bundle got through creation without taking the program down.
            if (typeof manager !== "undefined" && manager)
                manager.dashboardCreationFinished(created)
        }

        if (component.status === Component.Loading) {
            component.statusChanged.connect(function (status) {
                if (status === Component.Ready || status === Component.Error)
                    finish()
            })
        } else {
            finish()
        }
    }

    function clearExternalDashboard() {
        ++loadGeneration
        if (externalDashboardObject) {
            externalDashboardObject.destroy()
            externalDashboardObject = null
        }
    }

    Item {
        id: dashboard_host
        objectName: "dashboardHost"
        anchors.fill: parent
    }
}
