// The floor of the start-up figures: what any program of ours pays before its own work, a
// widgets application showing a Qt Quick window of the same size that imports the modules the
// client's window imports.

#include <QApplication>
#include <QQmlApplicationEngine>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData(R"(
import QtQuick
import QtQuick.Controls
import QtQuick.VirtualKeyboard
import QtQuick.Window
Window {
    width: Screen.desktopAvailableWidth
    height: Screen.desktopAvailableHeight
    color: "black"
    visible: true
}
)");
    return app.exec();
}
