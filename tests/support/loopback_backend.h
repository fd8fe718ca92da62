#pragma once

#include <QHash>
#include <QString>

#include "support/sandbox.h"
#include "support/scripted_http_server.h"

// The auth service and the dashboard function scripted on loopback, in a sandbox of their own
// (the session store and the bundle cache). Queued answers go first, then each path has its
// own; other paths get a 404.
struct LoopbackBackend
{
    using Response = ScriptedHttpServer::Response;

    Sandbox sandbox;
    ScriptedHttpServer server;
    QHash<QString, Response> routes;

    bool start()
    {
        server.setHandler([this](const ScriptedHttpServer::Request &request) {
            return routes.value(request.path(), Response::json(404, "{}"));
        });
        if (!server.start())
            return false;
        qputenv("CORVALEN_AUTH_BASE_URL", (server.baseUrl() + "/v1").toUtf8());
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", (server.baseUrl() + "/fn").toUtf8());
        return true;
    }
    static Response raw(const QByteArray &body)
    {
        Response response;
        response.body = body;
        return response;
    }
};
