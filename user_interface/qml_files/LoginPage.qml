import QtQuick
import QtQuick.VirtualKeyboard
import QtQuick.Controls

Rectangle {
    id: page

    property bool passwordVisible: false
    readonly property bool isAndroid: Qt.platform.os === "android"
    readonly property bool isWasm: Qt.platform.os === "wasm"
    readonly property bool useDarkInputs: isAndroid || isWasm

    color: "black"

    function signIn() {
        // One sign-in at a time: while one waits, the emptied fields would go out as another.
        if (busy_indicator.visible)
            return
        const email = email_field.text
        const password = password_field.text
        email_field.clear()
        password_field.clear()
        passwordVisible = false
        // Waiting is shown before the request goes out: a reply can arrive synchronously
        // (missing service address), and its reaction must be the last word on the form.
        waitingForLoginResponse(true)
        manager.logUserIn(email, password) // qmllint disable unqualified
    }

    function openResetDialog() {
        reset_dialog_loader.active = true
        reset_dialog_loader.item.open() // qmllint disable type
    }

    function waitingForLoginResponse(enable) {
        email_field.visible = !enable
        password_field.visible = !enable
        forgot_password_label.visible = !enable
        login_button.visible = !enable
        sign_up_button.visible = !enable
        busy_indicator.visible = enable
        if (!enable)
            email_field.forceActiveFocus()
    }

    Keys.onReturnPressed: signIn()
    Keys.onEnterPressed: signIn()

    component StyledField: TextField {
        property bool dark: false
        readonly property bool large: Qt.platform.os === "android"
        property Component darkBackground: Component {
            Rectangle {
                color: "#1f1f1f"
                radius: 8
                border.width: 1
                border.color: "#5f5f5f"
            }
        }

        // The platform's background comes with the platform's text colour: a fixed colour on it
        // can vanish under a dark theme. The placeholder is that colour toned towards the
        // background, still well readable in light and dark palettes.
        color: dark ? "white" : palette.text
        placeholderTextColor: dark ? "#B0B0B0" : Qt.rgba(
            palette.base.r + (palette.text.r - palette.base.r) * 0.6,
            palette.base.g + (palette.text.g - palette.base.g) * 0.6,
            palette.base.b + (palette.text.b - palette.base.b) * 0.6, 1)
        font.pixelSize: large ? 16 : 14
        selectionColor: "#3d7eff"
        selectedTextColor: "white"
        inputMethodHints: Qt.ImhNoAutoUppercase
        Accessible.role: Accessible.EditableText
        Accessible.name: placeholderText
        // Only the dark look replaces the background; otherwise the platform's stays.
        Component.onCompleted: if (dark) background = darkBackground.createObject(this)
    }

    component PageButton: Button {
        id: page_button
        property color fill: "purple"
        height: 35
        // Reached with Tab; a click leaves the keyboard focus where it was.
        focusPolicy: Qt.TabFocus
        Accessible.role: Accessible.Button
        Accessible.name: text
        Keys.onReturnPressed: clicked()
        Keys.onEnterPressed: clicked()
        background: Rectangle {
            radius: 15
            color: page_button.down ? Qt.darker(page_button.fill, 1.3) : page_button.fill
            border.width: page_button.visualFocus ? 2 : 0
            border.color: "white"
        }
        contentItem: Text {
            text: page_button.text
            font: page_button.font
            color: "white"
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
    }

    // Keeps the control the keyboard reaches in view when the page has to scroll.
    function showFocused(control) {
        const top = control.mapToItem(form, 0, 0).y - 8
        const bottom = top + control.height + 16
        if (top < scroller.contentY)
            scroller.contentY = top
        else if (bottom > scroller.contentY + scroller.height)
            scroller.contentY = bottom - scroller.height
    }

    // On a small or highly scaled screen the form is taller than the window: it scrolls instead
    // of losing the logo above the top edge.
    Flickable {
        id: scroller
        objectName: "loginScroller"
        anchors.fill: parent
        contentWidth: width
        contentHeight: form.height
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        ScrollBar.vertical: ScrollBar {}

        Item {
            id: form
            width: scroller.width
            // Centred on the e-mail field: room for the logo and its gap above, as much below.
            height: Math.max(scroller.height, 2 * (logo.height + 40 + email_field.height / 2) + 16)

            // Below every control: a click on empty space dismisses the on-screen keyboard.
            MouseArea {
                anchors.fill: parent
                onClicked: Qt.inputMethod.hide() // qmllint disable type
            }

            // The logo comes cut round (images/render_pngs.sh): a shader effect would draw nothing
            // with the software scene graph, and painting the crop on a Canvas costs a second
            // texture. The "ui" provider decodes it at the drawn size (from the file at twice that
            // on dense screens), so it is never scaled down, and keeps it out of the texture
            // atlas, which it would otherwise be the first to need (8 MiB before sign-in).
            // Mipmaps would do both, but with a software OpenGL they cost 150 ms before the first
            // frame.
            Image {
                id: logo
                objectName: "logo"
                width: sourceSize.width
                height: sourceSize.height
                anchors.horizontalCenter: email_field.horizontalCenter
                anchors.bottom: email_field.top
                anchors.bottomMargin: 40
                sourceSize.width: 180
                sourceSize.height: 180
                source: "image://ui/logo_round"
            }

            BusyIndicator {
                id: busy_indicator
                objectName: "busyIndicator"
                width: 100
                height: 100
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.top: logo.bottom
                anchors.topMargin: 40
                visible: false
                running: visible
                Accessible.role: Accessible.Animation
                Accessible.name: qsTr("Signing in")

                // The style's own indicator is dark on this black page and does not turn with
                // every renderer: light dots fading round the circle, turned by the GUI thread.
                contentItem: Item {
                    Repeater {
                        model: 8

                        Rectangle {
                            required property int index
                            readonly property real angle: 2 * Math.PI * index / 8
                            readonly property real orbit: (parent.width - width) / 2

                            width: 14
                            height: 14
                            radius: 7
                            color: "white"
                            opacity: 0.2 + 0.8 * index / 7
                            x: orbit + orbit * Math.cos(angle)
                            y: orbit + orbit * Math.sin(angle)
                        }
                    }

                    NumberAnimation on rotation {
                        from: 0
                        to: 360
                        duration: 1000
                        loops: Animation.Infinite
                        running: busy_indicator.running
                    }
                }
            }

            StyledField {
                id: email_field
                objectName: "emailField"
                anchors.centerIn: parent
                width: 250
                height: page.isAndroid ? 44 : 30
                dark: page.useDarkInputs
                placeholderText: qsTr("E-mail")
                focus: true
                onActiveFocusChanged: if (activeFocus) page.showFocused(this)
            }

            StyledField {
                id: password_field
                objectName: "passwordField"
                anchors.top: email_field.bottom
                anchors.topMargin: 10
                anchors.left: email_field.left
                width: 250
                height: page.isAndroid ? 48 : 35
                dark: page.useDarkInputs
                placeholderText: qsTr("Password")
                echoMode: page.passwordVisible ? TextInput.Normal : TextInput.Password
                rightPadding: password_toggle.width + (page.isAndroid ? 14 : 10)
                Accessible.name: placeholderText
                onActiveFocusChanged: if (activeFocus) page.showFocused(this)

                Button {
                    id: password_toggle
                    objectName: "passwordToggle"
                    width: page.isAndroid ? 84 : 60
                    height: password_field.height - (page.isAndroid ? 4 : 8)
                    anchors.right: parent.right
                    anchors.rightMargin: 5
                    anchors.verticalCenter: parent.verticalCenter
                    // Reached with Tab; a click leaves the focus in the field being typed in.
                    focusPolicy: Qt.TabFocus
                    font.pixelSize: page.isAndroid ? 13 : 12
                    text: page.passwordVisible ? qsTr("Hide") : qsTr("Show")
                    Accessible.role: Accessible.Button
                    Accessible.name: text
                    Keys.onReturnPressed: clicked()
                    Keys.onEnterPressed: clicked()
                    onActiveFocusChanged: if (activeFocus) page.showFocused(this)
                    onClicked: page.passwordVisible = !page.passwordVisible
                }
            }

            Text {
                id: forgot_password_label
                objectName: "forgotPasswordLabel"
                anchors.top: password_field.bottom
                anchors.topMargin: 5
                anchors.right: password_field.right
                text: qsTr("Forgot password?")
                font.pixelSize: 10
                font.underline: activeFocus
                color: "white"
                activeFocusOnTab: true
                Accessible.role: Accessible.Link
                Accessible.name: text
                Accessible.onPressAction: page.openResetDialog()
                Keys.onReturnPressed: page.openResetDialog()
                Keys.onEnterPressed: page.openResetDialog()
                Keys.onSpacePressed: page.openResetDialog()
                onActiveFocusChanged: if (activeFocus) page.showFocused(this)

                MouseArea {
                    anchors.fill: parent
                    cursorShape: Qt.PointingHandCursor
                    onClicked: page.openResetDialog()
                }
            }

            PageButton {
                id: login_button
                objectName: "loginButton"
                anchors.top: forgot_password_label.bottom
                anchors.topMargin: 10
                anchors.left: password_field.left
                width: password_field.width
                fill: "purple"
                text: qsTr("Login")
                onActiveFocusChanged: if (activeFocus) page.showFocused(this)
                onClicked: page.signIn()
            }

            PageButton {
                id: sign_up_button
                objectName: "signUpButton"
                anchors.top: login_button.bottom
                anchors.topMargin: 10
                anchors.left: login_button.left
                width: login_button.width
                fill: "blue"
                text: qsTr("Sign Up")
                onActiveFocusChanged: if (activeFocus) page.showFocused(this)
                onClicked: Qt.openUrlExternally("https://www.corvalen.example/signup")
            }
        }
    }

    // Made the first time it is asked for: most starts never show it.
    Loader {
        id: reset_dialog_loader
        active: false
        // The dialog is made in this document's context, so its ids are in scope in there.
        // qmllint disable unqualified
        sourceComponent: Component {
            Dialog {
                id: reset_dialog
                objectName: "resetDialog"

                readonly property color textColor: page.isAndroid ? "white" : "black"
                readonly property int fontSize: page.isAndroid ? 16 : 14

                parent: Overlay.overlay
                anchors.centerIn: parent
                width: Math.min(page.width - 32, 420)
                modal: true
                title: qsTr("Reset password")
                standardButtons: Dialog.Ok | Dialog.Cancel
                padding: 16
                topPadding: 10

                background: Rectangle {
                    radius: 10
                    color: page.isAndroid ? "#202020" : "white"
                    border.width: 1
                    border.color: page.isAndroid ? "#5f5f5f" : "#bdbdbd"
                }

                header: Label {
                    text: reset_dialog.title
                    color: reset_dialog.textColor
                    font.pixelSize: reset_dialog.fontSize + 2
                    font.bold: true
                    padding: 16
                    bottomPadding: 0
                }

                // The style's button box paints an opaque strip over the rounded background.
                footer: DialogButtonBox {
                    background: null
                    padding: 12
                    topPadding: 0
                    // Named for screen readers, and worked with Return as well as Space.
                    delegate: Button {
                        Accessible.role: Accessible.Button
                        Accessible.name: text
                        Keys.onReturnPressed: clicked()
                        Keys.onEnterPressed: clicked()
                    }
                }

                contentItem: Column { // qmllint disable deferred-property-id
                    spacing: 12

                    Label {
                        width: parent.width
                        text: qsTr("Enter your e-mail to receive a link to reset your password")
                        color: reset_dialog.textColor
                        font.pixelSize: reset_dialog.fontSize
                        wrapMode: Text.Wrap
                    }

                    StyledField {
                        id: reset_email_field
                        objectName: "resetEmailField"
                        width: parent.width
                        dark: page.isAndroid
                        placeholderText: qsTr("E-mail")
                        Keys.onReturnPressed: reset_dialog.accept()
                        Keys.onEnterPressed: reset_dialog.accept()
                    }
                }

                onOpened: reset_email_field.forceActiveFocus()
                onAccepted: {
                    if (reset_email_field.text !== "") {
                        manager.resetUserPassword(reset_email_field.text) // qmllint disable unqualified
                        reset_email_field.clear()
                    }
                }
                onRejected: reset_email_field.clear()
            }
        }
    }
    // qmllint enable unqualified
}
