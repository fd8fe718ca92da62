#pragma once

#include <QtCore>
#include <QtNetwork>

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

// A loopback HTTP peer that answers late or never. A request is recorded once its head and body
// are in; then the scripted pieces of the answer go out one per interval, or, with no pieces,
// the request is held until answerHeld(). One request per connection.
class SlowPeer : public QObject
{
public:
    QList<QByteArray> pieces;
    int intervalMs = 10000;
    QList<QPair<QString, QByteArray>> requests; // path and body, in arrival order

    bool start()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }
    QString baseUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
    }
    QStringList paths() const
    {
        QStringList all;
        for (const auto &request : requests)
            all.append(request.first);
        return all;
    }

    static QByteArray response(int status, const QByteArray &json)
    {
        return "HTTP/1.1 " + QByteArray::number(status) +
               " Status\r\nContent-Type: application/json\r\nConnection: close\r\n"
               "Content-Length: " +
               QByteArray::number(json.size()) + "\r\n\r\n" + json;
    }
    void answerHeld(const QByteArray &answer)
    {
        for (QTcpSocket *socket : std::exchange(held, {}))
            socket->write(answer);
    }

private:
    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = buffers[socket];
        buffer += socket->readAll();
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QString head = QString::fromLatin1(buffer.left(headEnd));
        static const QRegularExpression lengthHeader("\r\ncontent-length:\\s*(\\d+)",
                                                     QRegularExpression::CaseInsensitiveOption);
        const qsizetype length = lengthHeader.match(head).captured(1).toLongLong();
        if (buffer.size() < headEnd + 4 + length)
            return;
        requests.append({QUrl(head.section(' ', 1, 1)).path(), buffer.mid(headEnd + 4, length)});
        buffers.remove(socket);
        socket->disconnect(this);
        if (pieces.isEmpty()) {
            held.append(socket);
            return;
        }
        auto *timer = new QTimer(socket);
        const auto next = std::make_shared<qsizetype>(0);
        const auto sendNext = [socket, timer, next, answer = pieces] {
            socket->write(answer.at((*next)++));
            if (*next == answer.size())
                timer->stop();
        };
        connect(timer, &QTimer::timeout, socket, sendNext);
        sendNext();
        timer->start(intervalMs);
    }

    QTcpServer server; // owns the sockets
    QHash<QTcpSocket *, QByteArray> buffers;
    QList<QTcpSocket *> held;
};

// A dashboard that does, from inside the host's signal handlers, what a careless one may: each
// message on its topic names an act. From inside the sign-out it starts a download that fails
// at once, it listens to every outcome, and a click signs out and then asks.
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

    // A click signs out, then waits for a box of its own in the same handler.
    MouseArea {
        anchors.fill: parent
        onClicked: {
            manager.logUserOut()
            trap.act("ask")
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
