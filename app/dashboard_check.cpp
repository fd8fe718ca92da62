// Loads a dashboard bundle the way the client does, in an offscreen window system, with real
// "manager" and "mqttClient" objects that reach neither the backend nor a broker, and says
// whether its dashboard.qml loads. Publishing runs it first.
//   corvalen_dashboard_check BUNDLE.rcc
// Exit status 0: the dashboard was created; 1: it was not, with the QML errors on stderr;
// 2: the bundle could not be read or registered.
#include <QApplication>
#include <QFile>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QResource>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include "mqtt/mqttclient.h"
#include "viewmodel/rcc_validation.h"
#include "viewmodel/viewmodel.h"

namespace {
void say(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}
} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        say(QStringLiteral("usage: corvalen_dashboard_check BUNDLE.rcc"));
        return 2;
    }

    // The stand-in view model has a session store of its own; the user's is not touched.
    QTemporaryDir settings;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());

    QFile file(args.at(1));
    if (!file.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("cannot read %1: %2").arg(args.at(1), file.errorString()));
        return 2;
    }
    const QByteArray bundle = file.readAll();
    QString reason;
    if (!isStructurallyValidRcc(bundle, &reason) ||
        !QResource::registerResource(reinterpret_cast<const uchar *>(bundle.constData()))) {
        say(QStringLiteral("%1 is not a usable resource bundle: %2").arg(args.at(1), reason));
        return 2;
    }

    int status = 0;
    {
        ViewModel manager;
        MqttClient mqttClient;
        manager.setMqttClient(&mqttClient);
        mqttClient.SetConnectionsOpen(false); // a dashboard's set-up must not reach a broker
        QQmlEngine engine;
        engine.rootContext()->setContextProperty(QStringLiteral("manager"), &manager);
        engine.rootContext()->setContextProperty(QStringLiteral("mqttClient"), &mqttClient);
        QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/external/dashboard.qml")));
        std::unique_ptr<QObject> dashboard(component.isReady() ? component.create() : nullptr);
        if (!dashboard) {
            for (const QQmlError &error : component.errors())
                say(error.toString());
            if (component.errors().isEmpty())
                say(QStringLiteral("qrc:/external/dashboard.qml: no dashboard was created"));
            status = 1;
        }
    }
    QResource::unregisterResource(reinterpret_cast<const uchar *>(bundle.constData()));
    if (status == 0)
        say(QStringLiteral("dashboard.qml loads"));
    return status;
}
