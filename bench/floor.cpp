// The floor of the start-up figures: what any program of ours pays before its own work, a
// widgets application showing a Qt Quick window of the same size that imports the modules the
// client's window imports. With the argument "form" the window also shows a text, a text field
// and a button, the kinds of item any login page draws.

#include <QApplication>
#include <QQmlApplicationEngine>

namespace {
const char *const Window = R"(
import QtQuick
import QtQuick.Controls
import QtQuick.VirtualKeyboard
import QtQuick.Window
Window {
    width: Screen.desktopAvailableWidth
    height: Screen.desktopAvailableHeight
    color: "black"
    visible: true
)";
const char *const Form = R"(
    Column {
        anchors.centerIn: parent
        spacing: 10
        Text { text: "Floor"; color: "white" }
        TextField { width: 250; placeholderText: "E-mail"; focus: true }
        Button { width: 250; text: "Login" }
    }
)";
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool form = app.arguments().value(1) == QLatin1String("form");
    QQmlApplicationEngine engine;
    engine.loadData(QByteArray(Window) + (form ? Form : "") + "}\n");
    return app.exec();
}
