#pragma once

#include <QtCore>

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
