#pragma once

#include <QtCore>

#include <memory>

#include "support/scripted_http_server.h"

using Response = ScriptedHttpServer::Response;

// The auth service and the dashboard function on loopback, with the session store in a fresh
// directory. Queued answers go first, then each path has its own; others get a 404.
struct LoopbackBackend
{
    QTemporaryDir settingsDir;
    ScriptedHttpServer server;
    QHash<QString, Response> routes;

    bool start()
    {
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        server.setHandler([this](const ScriptedHttpServer::Request &request) {
            return routes.value(request.path(), Response::json(404, "{}"));
        });
        if (!server.start())
            return false;
        qputenv("CORVALEN_AUTH_BASE_URL", (server.baseUrl() + "/v1").toUtf8());
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", (server.baseUrl() + "/fn").toUtf8());
        return true;
    }
    ~LoopbackBackend()
    {
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
    }
    static Response raw(const QByteArray &body)
    {
        Response response;
        response.body = body;
        return response;
    }
};

// A real bundle providing :/external/dashboard.qml, made with Qt's resource compiler.
inline QByteArray buildDashboardBundle(const QString &dir, const QByteArray &dashboardQml)
{
    QFile qml(dir + "/dashboard.qml"), qrc(dir + "/bundle.qrc"), out(dir + "/bundle.rcc");
    if (!qml.open(QIODevice::WriteOnly) || !qrc.open(QIODevice::WriteOnly))
        return {};
    qml.write(dashboardQml);
    qrc.write("<RCC><qresource prefix=\"/external\"><file>dashboard.qml</file></qresource></RCC>");
    qml.close();
    qrc.close();
    QProcess rcc;
    rcc.start(QStringLiteral(CORVALEN_RCC), {"-binary", qrc.fileName(), "-o", out.fileName()});
    if (!rcc.waitForFinished(60000) || rcc.exitCode() != 0 || !out.open(QIODevice::ReadOnly))
        return {};
    return out.readAll();
}

// Records every log message (QML console lines included) while it lives, passing each on.
class LogCapture
{
public:
    LogCapture()
    {
        QMutexLocker lock(&mutex());
        lines().clear();
        previous() = qInstallMessageHandler(&LogCapture::record);
    }
    ~LogCapture() { qInstallMessageHandler(previous()); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    bool contains(const QString &text) const
    {
        QMutexLocker lock(&mutex());
        return std::any_of(lines().cbegin(), lines().cend(),
                           [&](const QString &line) { return line.contains(text); });
    }

private:
    static QStringList &lines()
    {
        static QStringList recorded;
        return recorded;
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static QMutex &mutex()
    {
        static QMutex lock;
        return lock;
    }
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        {
            QMutexLocker lock(&mutex());
            lines().append(text);
        }
        if (previous())
            previous()(type, context, text);
    }
};

// A dashboard that does, from inside the host's signal handlers, what a careless one may: each
// message on its topic names an act. From inside the sign-out it starts a download that fails
// at once, and it listens to every outcome.
inline const QByteArray kTrapDashboardQml = R"(import QtQuick

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

    Component.onCompleted: {
        const port = parseInt(manager.appConfigValue("CORVALEN_MQTT_PORT"), 10)
        manager.configureDashboardMqtt(manager.appConfigValue("CORVALEN_MQTT_HOST"), port,
                                       ["corvalen/trap"])
        console.log("Trap dashboard loaded")
    }
    Component.onDestruction: console.log("Trap dashboard closed")
}
)";
