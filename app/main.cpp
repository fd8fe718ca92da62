#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>

#include "mqtt/mqttclient.h"
#include "viewmodel/viewmodel.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    auto *viewModel = new ViewModel();
    auto *mqttClient = new MqttClient();
    viewModel->setMqttClient(mqttClient);
    auto *engine = new QQmlApplicationEngine();
    viewModel->setQmlEngine(engine);
    engine->rootContext()->setContextProperty("manager", viewModel);
    engine->rootContext()->setContextProperty("mqttClient", mqttClient);
    const QUrl url(QStringLiteral("qrc:/user_interface/qml_files/main.qml"));
    engine->load(url);
    const int result = app.exec();
    delete engine;
    delete mqttClient;
    delete viewModel;
    return result;
}
