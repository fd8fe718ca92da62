#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "support/scripted_http_server.h"

// QMessageBox::exec() blocks in a nested event loop, so boxes are answered from a timer: each
// box that becomes the active modal widget is recorded and closed by clicking `answer`.
class MessageBoxWatcher : public QObject
{
public:
    struct Shown
    {
        QString windowTitle, text, informativeText;
    };
    QList<Shown> shown;
    std::function<void(QMessageBox *)> onShown; // runs before the click (screenshots)

    MessageBoxWatcher()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            shown.append({box->windowTitle(), box->text(), box->informativeText()});
            if (onShown)
                onShown(box);
            box->button(QMessageBox::Ok)->click();
        });
        timer.start(10);
    }

private:
    QTimer timer;
};

// The auth service and the dashboard function on loopback, with the session store in a fresh
// directory. Each path answers from its list in turn; the last answer repeats.
struct LoopbackBackend
{
    using Response = ScriptedHttpServer::Response;
    QTemporaryDir settingsDir;
    ScriptedHttpServer server;
    QHash<QString, QList<Response>> routes;

    bool start()
    {
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        server.setHandler([this](const ScriptedHttpServer::Request &request) {
            QList<Response> &answers = routes[request.path()];
            if (answers.isEmpty())
                return Response::json(404, "{}");
            return answers.size() > 1 ? answers.takeFirst() : answers.first();
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
    QList<ScriptedHttpServer::Request> requestsTo(const QString &path) const
    {
        QList<ScriptedHttpServer::Request> matching;
        for (const auto &request : server.requests())
            if (request.path() == path)
                matching.append(request);
        return matching;
    }
    static Response raw(const QByteArray &body)
    {
        Response response;
        response.body = body;
        return response;
    }
};

inline QByteArray sessionReply(const QString &id, const QString &email)
{
    return QStringLiteral(R"({"session":{"accessToken":"acc","refreshToken":"ref",)"
                          R"("accessTokenExpiresIn":900,"user":{"id":"%1","email":"%2"}}})")
        .arg(id, email)
        .toUtf8();
}

// A real bundle providing :/external/dashboard.qml, made with Qt's resource compiler.
inline QByteArray buildDashboardBundle(const QString &dir, const QByteArray &dashboardQml)
{
    QDir().mkpath(dir);
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
