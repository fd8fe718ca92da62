import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15

Window {
    id: window

    // The view model always answers false; calling it still resumes a stored session.
    property bool isUserLoggedIn: typeof manager !== "undefined" && manager ? manager.isUserLoggedIn() : false // qmllint disable unqualified
    readonly property bool isAndroid: Qt.platform.os === "android"
    readonly property bool isWasm: Qt.platform.os === "wasm"
    property string appMessageTitle: ""
    property string appMessageBody: ""
    // Set by the program before the window is made; the dashboard folder of author mode.
    property var authorMode: null
    // Set by the program before the window is made in wall-panel mode.
    property var kioskMode: null
    readonly property bool kiosk: kioskMode !== null && kioskMode.active

    width: Screen.desktopAvailableWidth
    height: Screen.desktopAvailableHeight
    // Never more than the screen: a highly scaled small screen has less than 600 to give.
    minimumWidth: Math.min(600, Screen.desktopAvailableWidth)
    minimumHeight: Math.min(600, Screen.desktopAvailableHeight)
    color: "black"
    visibility: kiosk ? Window.FullScreen : Window.Windowed
    flags: isWasm ? (Qt.Window | Qt.FramelessWindowHint) : Qt.Window
    visible: true
    title: authorMode ? qsTr("Corvalen Dashboard — author mode: %1").arg(authorMode.folder)
                      : qsTr("Corvalen Dashboard")

    function goToMain() {
        isUserLoggedIn = true
        login_page.visible = false
        login_page.enabled = false
        main_page.visible = true
        main_page.enabled = true
    }

    function goToLogin() {
        isUserLoggedIn = false
        main_page.clearExternalDashboard()
        main_page.visible = false
        main_page.enabled = false
        login_page.visible = true
        login_page.enabled = true
        login_page.waitingForLoginResponse(false)
    }

    function showUserMessage(title, message) {
        if (isAndroid || isWasm) {
            appMessageTitle = title
            appMessageBody = message
            openAppMessageDialog()
        } else {
            manager.showMessage(title, message)
        }
    }

    function openAppMessageDialog() {
        app_message_dialog_loader.active = true
        app_message_dialog_loader.item.open() // qmllint disable type
    }

    function loadRemoteExternalRcc() {
        if (!manager.resolveAndDownloadExternalResourceForCurrentUser() && !kiosk) // qmllint disable unqualified
            showUserMessage(qsTr("RCC download failed"), qsTr("Could not request the dashboard RCC file."))
    }

    // Nobody is there to answer a box: the page says what failed, and the dashboard is asked
    // for again once the backend answers. A dashboard already shown stays.
    function kioskLoadFailed(message) {
        if (!main_page.externalDashboardObject)
            main_page.showFailure(message)
        kioskMode.dashboardMissing()
    }

    Component.onCompleted: {
        if (kioskMode && kioskMode.resumeSession()) {
            goToMain()
            loadRemoteExternalRcc()
        }
    }

    LoginPage {
        id: login_page
        objectName: "loginPage"
        anchors.centerIn: parent
        width: window.width
        height: window.height
        visible: !window.isUserLoggedIn
        enabled: !window.isUserLoggedIn
    }

    MainPage {
        id: main_page
        objectName: "mainPage"
        visible: window.isUserLoggedIn
        enabled: window.isUserLoggedIn

        // Fetched again, never taken from the cache that held the failing bundle.
        onRetryRequested: {
            if (!manager.reloadDashboardFromServer()) // qmllint disable unqualified
                window.showUserMessage(qsTr("RCC download failed"), qsTr("Could not request the dashboard RCC file."))
        }
        onSignOutRequested: manager.logUserOut() // qmllint disable unqualified
        externalDashboardSource: window.authorMode ? window.authorMode.dashboardUrl
                                                   : "qrc:/external/dashboard.qml"
        onExternalDashboardObjectChanged: {
            if (window.authorMode && externalDashboardObject)
                window.authorMode.dashboardShown()
        }
    }

    ClientNotice {
        objectName: "authorProblems"
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom; margins: 8 }
        text: window.authorMode ? window.authorMode.problems : ""
    }

    ClientNotice {
        objectName: "offlineBanner"
        anchors { top: parent.top; right: parent.right; margins: 8 }
        width: Math.min(parent.width - 16, 260)
        text: window.kioskMode && window.kioskMode.offline ? qsTr("Offline, retrying") : ""
    }

    // A saved change in the folder: the dashboard is released and loaded again.
    Connections {
        target: window.authorMode
        function onFolderChanged() {
            if (!window.isUserLoggedIn)
                return
            main_page.clearExternalDashboard()
            window.loadRemoteExternalRcc()
        }
    }

    // Signing out never depends on the dashboard offering a way to do it.
    Shortcut {
        sequence: "Ctrl+Shift+Q"
        context: Qt.ApplicationShortcut
        enabled: window.isUserLoggedIn
        onActivated: {
            if (window.kioskMode)
                window.kioskMode.leave()
            manager.logUserOut() // qmllint disable unqualified
        }
    }

    Connections {
        target: typeof manager !== "undefined" ? manager : null // qmllint disable unqualified
        ignoreUnknownSignals: true

        function onAuthResponseChanged(response) {
            login_page.waitingForLoginResponse(false)
            console.log(response)

            if (response === "USER_AUTENTICATED" || response === "USER_ALREADY_LOGGED_IN") {
                window.goToMain()
                window.loadRemoteExternalRcc()
                return
            }

            if (response === "invalid-email-password") {
                window.showUserMessage(qsTr("Inavlid email or password"),
                                       qsTr("Please enter a valid e-mail and password."))
            } else if (response === "EMAIL_NOT_FOUND") {
                window.showUserMessage(qsTr("User e-mail not found"),
                                       qsTr("There is not a account with this e-mail,\nplease signup to continue"))
            } else if (response === "TOO_MANY_ATTEMPTS_TRY_LATER : Access to this account has been temporarily disabled due to many failed login attempts. You can immediately restore it by resetting your password or you can try again later.") {
                window.showUserMessage(qsTr("Too many attempts"),
                                       qsTr("Access to this account has been temporarily\ndisabled due to many failed login attempts"))
            } else if (response === "SESSION_EXPIRED") {
                window.showUserMessage(qsTr("Session expired"), qsTr("Please sign in again."))
            } else if (response === "Invalid response from server" || response === "") {
                window.showUserMessage(qsTr("Ops!"), qsTr("Something went wrong, please try again later."))
            } else {
                window.showUserMessage(qsTr("Ops!"), response)
            }
            login_page.waitingForLoginResponse(false)
        }

        function onMessageRequested(title, message) {
            if (window.isAndroid || window.isWasm) {
                window.appMessageTitle = title
                window.appMessageBody = message
                window.openAppMessageDialog()
            }
        }

        function onExternalResourceLoadFinished(success, message) {
            if (success)
                main_page.loadExternalDashboard()
            else if (window.kiosk)
                window.kioskLoadFailed(message)
            else
                window.showUserMessage(qsTr("RCC download failed"),
                                       message !== "" ? message : qsTr("Could not download/load external RCC from this app host."))
        }

        function onDashboardStopped(message) {
            main_page.showFailure(message)
        }

        function onQuitApp() {
            Qt.quit()
        }

        function onSignOutUser() {
            window.goToLogin()
        }
    }

    // Phones and browsers only, and made the first time it is asked for.
    Loader {
        id: app_message_dialog_loader
        active: false
        // The dialog is made in this document's context, so its ids are in scope in there.
        // qmllint disable unqualified
        sourceComponent: Component {
            Dialog {
                id: app_message_dialog
                objectName: "appMessageDialog"

                readonly property color textColor: window.isAndroid ? "white" : "black"

                parent: Overlay.overlay
                anchors.centerIn: parent
                width: Math.min(window.width - 24, window.isAndroid ? 500 : 360)
                modal: true
                closePolicy: Popup.NoAutoClose
                standardButtons: Dialog.Ok
                title: window.appMessageTitle
                padding: 16
                topPadding: 10

                background: Rectangle {
                    radius: 10
                    color: window.isAndroid ? "#202020" : "white"
                    border.width: 1
                    border.color: window.isAndroid ? "#5f5f5f" : "#bdbdbd"
                }

                header: Label {
                    text: app_message_dialog.title
                    color: app_message_dialog.textColor
                    font.pixelSize: window.isAndroid ? 17 : 14
                    font.bold: true
                    elide: Label.ElideRight
                    padding: 16
                    bottomPadding: 0
                }

                footer: DialogButtonBox {
                    background: null
                    padding: 12
                    topPadding: 0
                }

                contentItem: Label {
                    text: window.appMessageBody
                    color: app_message_dialog.textColor
                    font.pixelSize: window.isAndroid ? 17 : 14
                    wrapMode: Text.Wrap
                }
            }
        }
    }
    // qmllint enable unqualified
}
