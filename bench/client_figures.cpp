#include "client_figures.h"

#include <QDir>
#include <QFile>
#include <QPoint>
#include <QSet>

#include <cstdlib>
#include <poll.h>
#include <utility>
#include <xcb/damage.h>
#include <xcb/xcb.h>

namespace bench {

namespace {
constexpr int StartTimeoutMs = 60000;
constexpr int DeliveryTimeoutMs = 180000;
constexpr int SettleMs = 2000;
// Lines of the client's log that mark the two ends of a delivery: main.qml logs the sign-in
// answer first thing, the bench bundle's dashboard logs its own creation.
const QByteArray SignedInLine = "qml: USER_AUTENTICATED";
const QByteArray CreatedLine = "qml: bench dashboard created";

// Seconds of the "%{time boot}" field that starts the first log line holding `marker`.
double loggedAt(const QByteArray &log, const QByteArray &marker)
{
    const qsizetype at = log.indexOf(marker);
    if (at < 0)
        return Missing;
    const qsizetype lineStart = log.lastIndexOf('\n', at) + 1;
    bool ok = false;
    const double seconds = log.mid(lineStart, at - lineStart).trimmed().toDouble(&ok);
    return ok ? seconds : Missing;
}

// Whether a growing log holds `marker` yet, reading only what was added since the last look: a
// base64 delivery writes the whole bundle into the log, and reading all of it again every 10 ms
// would compete with the client being measured.
class LogWatch
{
public:
    LogWatch(const QString &path, QByteArray wanted) : file(path), marker(std::move(wanted)) {}
    bool holdsMarker()
    {
        if (!file.isOpen() && !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return false;
        // The end of the last piece is kept, in case the marker straddles two reads.
        const QByteArray added = file.readAll();
        if (added.isEmpty())
            return false;
        const QByteArray window = carried + added;
        if (window.contains(marker))
            return true;
        carried = window.right(marker.size() - 1);
        return false;
    }

private:
    QFile file;
    QByteArray marker;
    QByteArray carried;
};

std::optional<QByteArray> xdotool(const QStringList &args)
{
    return run(QStringLiteral("xdotool"), args);
}
} // namespace

WindowProbe::~WindowProbe()
{
    if (connection)
        xcb_disconnect(connection);
}

bool WindowProbe::open()
{
    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        return false;
    const xcb_query_extension_reply_t *damage = xcb_get_extension_data(connection, &xcb_damage_id);
    if (!damage || !damage->present)
        return false;
    damageNotify = uint8_t(damage->first_event + XCB_DAMAGE_NOTIFY);
    std::free(xcb_damage_query_version_reply(
        connection, xcb_damage_query_version(connection, XCB_DAMAGE_MAJOR_VERSION, 1), nullptr));
    root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    return true;
}

Shown WindowProbe::measure(const Launch &launch, int settleMs)
{
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
        std::free(event);

    const qint64 started = nowNs();
    const std::unique_ptr<QProcess> process = start(launch);
    const qint64 deadline = started + qint64(StartTimeoutMs) * 1000000;
    QSet<uint32_t> mapped;
    qint64 firstMap = -1;
    qint64 firstFrame = -1;
    const int fd = xcb_get_file_descriptor(connection);
    while (firstFrame < 0 && nowNs() < deadline && process->state() != QProcess::NotRunning) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            const uint8_t type = event->response_type & 0x7f;
            if (type == XCB_CREATE_NOTIFY) {
                // Watched from its creation on: the first frame may follow the map at once.
                const auto *created = reinterpret_cast<xcb_create_notify_event_t *>(event);
                xcb_damage_create(connection, xcb_generate_id(connection), created->window,
                                  XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
                xcb_flush(connection);
            } else if (type == XCB_MAP_NOTIFY) {
                mapped.insert(reinterpret_cast<xcb_map_notify_event_t *>(event)->window);
                if (firstMap < 0)
                    firstMap = nowNs();
            } else if (type == damageNotify && firstFrame < 0) {
                const auto *damage = reinterpret_cast<xcb_damage_notify_event_t *>(event);
                if (mapped.contains(damage->drawable))
                    firstFrame = nowNs();
            }
            std::free(event);
        }
        pollfd wait{fd, POLLIN, 0};
        if (firstFrame < 0)
            poll(&wait, 1, 50);
    }

    Shown shown;
    if (firstFrame >= 0) {
        shown.mappedMs = double(firstMap - started) / 1e6;
        shown.ms = double(firstFrame - started) / 1e6;
        sleepMs(settleMs);
        shown.rssMiB = double(residentKiB(process->processId())) / 1024.0;
    } else {
        qWarning("%s showed no frame", qPrintable(launch.program));
    }
    stopProcess(*process);
    // The damage objects went with their windows.
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
        std::free(event);
    return shown;
}

ClientFigures::ClientFigures(ClientSetup setup) : config(std::move(setup))
{
    const QString base = config.backendUrl;
    const QByteArray service = QStringLiteral("CORVALEN_AUTH_BASE_URL=%1\n"
                                              "CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL=%1/"
                                              "clear_rcc_update\n")
                                   .arg(base)
                                   .toUtf8();
    writeFile(QDir(config.work).filePath(QStringLiteral("client.env")), service);
    writeFile(QDir(config.work).filePath(QStringLiteral("client-mqtt.env")),
              service + QStringLiteral("CORVALEN_MQTT_HOST=%1\nCORVALEN_MQTT_PORT=%2\n")
                            .arg(config.brokerHost)
                            .arg(config.brokerPort)
                            .toUtf8());
}

QProcessEnvironment ClientFigures::clientEnvironment(const QString &home, bool withBroker) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QStringList names = env.keys();
    for (const QString &name : names)
        if (name.startsWith(QLatin1String("CORVALEN_")) || name.startsWith(QLatin1String("XDG_")) ||
            name.startsWith(QLatin1String("QT_")) || name.startsWith(QLatin1String("QML")))
            env.remove(name);
    // A home of its own: session, bundle cache and Qt's runtime files.
    QDir(home).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(QDir(home).filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QDir(home).filePath(QStringLiteral("runtime")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("CORVALEN_ENV_FILE"),
               QDir(config.work)
                   .filePath(withBroker ? QStringLiteral("client-mqtt.env")
                                        : QStringLiteral("client.env")));
    return env;
}

Shown ClientFigures::startup(Program program)
{
    const QString home = QDir(config.work).filePath(QStringLiteral("startup-home"));
    Launch launch;
    launch.program = program == Program::Client ? config.client : config.floor;
    if (program == Program::FloorWithForm)
        launch.args = QStringList{QStringLiteral("form")};
    launch.env = clientEnvironment(home, false);
    launch.workingDirectory = home;
    launch.outputFile = QDir(home).filePath(QStringLiteral("startup.log"));
    return probe.measure(launch, 1000);
}

bool ClientFigures::signIn(const Account &account, const QString &log) const
{
    const auto found =
        xdotool({"search", "--sync", "--onlyvisible", "--classname", "^corvalen_dashboard$"});
    const QString window = QString::fromLatin1(found.value_or("")).section('\n', 0, 0);
    if (window.isEmpty()) {
        qWarning("no client window; its log:\n%s", readFile(log).constData());
        return false;
    }
    QPoint size;
    const QList<QByteArray> shell =
        xdotool({"getwindowgeometry", "--shell", window}).value_or("").split('\n');
    for (const QByteArray &line : shell) {
        if (line.startsWith("WIDTH="))
            size.setX(line.mid(6).toInt());
        else if (line.startsWith("HEIGHT="))
            size.setY(line.mid(7).toInt());
    }
    // The e-mail field sits in the middle of the page, the password field below it. There is
    // no window manager: focus is given explicitly.
    const QPoint email = size / 2;
    const QPoint password = email + QPoint(-60, 42);
    const auto click = [&](const QPoint &at) {
        return xdotool({"windowfocus", "--sync", window, "mousemove", "--window", window, "--sync",
                        QString::number(at.x()), QString::number(at.y()), "click", "1"})
            .has_value();
    };
    return click(email) && xdotool({"type", "--delay", "5", account.email}) && click(password) &&
           xdotool({"type", "--delay", "5", account.password}) && xdotool({"key", "Return"});
}

double ClientFigures::deliveryMs(const Account &account, const QString &home)
{
    const QString log = QDir(home).filePath(QStringLiteral("client-%1.log").arg(++runs));
    Launch launch;
    launch.program = config.client;
    launch.env = clientEnvironment(home, false);
    // The client's own lines, with the time of each.
    launch.env.insert(QStringLiteral("QT_MESSAGE_PATTERN"),
                      QStringLiteral("%{time boot} %{if-category}%{category}: %{endif}%{message}"));
    launch.workingDirectory = home;
    launch.outputFile = log;
    const std::unique_ptr<QProcess> process = start(launch);
    double ms = Missing;
    LogWatch created(log, CreatedLine);
    if (signIn(account, log) &&
        waitFor([&] { return created.holdsMarker(); }, DeliveryTimeoutMs, 10)) {
        const QByteArray lines = readFile(log);
        ms = (loggedAt(lines, CreatedLine) - loggedAt(lines, SignedInLine)) * 1000.0;
    } else {
        qWarning("%s: no dashboard; the client's log is %s", qPrintable(account.email),
                 qPrintable(log));
    }
    stopProcess(*process);
    return ms;
}

double ClientFigures::curlMs(const Account &account) const
{
    // The token goes through a file, not the command line.
    const QString headers = QDir(config.work).filePath(QStringLiteral("curl-headers"));
    QFile file(headers);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return Missing;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write("Authorization: Bearer " + account.accessToken.toUtf8() + "\n");
    file.close();
    const QString url =
        QStringLiteral("%1/get_dashboard_rcc?user_id=%2").arg(config.backendUrl, account.id);
    const auto seconds = run(QStringLiteral("curl"), {"-s", "-f", "-o", "/dev/null", "-w",
                                                      "%{time_total}", "-H", "@" + headers, url});
    bool ok = false;
    const double value = seconds.value_or("").toDouble(&ok);
    return ok ? value * 1000.0 : Missing;
}

namespace {
Idle sampleIdle(qint64 pid, int seconds, bool guiThread)
{
    sleepMs(SettleMs);
    const ProcessCounters before = readCounters(pid);
    const qint64 started = nowNs();
    sleepMs(seconds * 1000);
    const ProcessCounters after = readCounters(pid);
    const double elapsed = double(nowNs() - started) / 1e9;
    Idle idle;
    const qint64 main = after.mainThreadSwitches - before.mainThreadSwitches;
    const qint64 all = after.allThreadSwitches - before.allThreadSwitches;
    // The reference's main thread only waits for a signal; its network thread does the work.
    idle.mqttThreadWakeupsPerS = double(guiThread ? main : all - main) / elapsed;
    idle.allThreadWakeupsPerS = double(all) / elapsed;
    idle.cpuMs = double(after.cpuNs - before.cpuNs) / 1e6;
    return idle;
}
} // namespace

Idle ClientFigures::idleClient(const Account &account, const QString &home, int seconds)
{
    const BrokerLog broker(config.brokerLog);
    const int before = broker.subscriptions(QStringLiteral("bench/idle"));
    Launch launch;
    launch.program = config.client;
    launch.env = clientEnvironment(home, true);
    launch.workingDirectory = home;
    launch.outputFile = QDir(home).filePath(QStringLiteral("client-idle.log"));
    const std::unique_ptr<QProcess> process = start(launch);
    Idle idle;
    if (signIn(account, launch.outputFile) &&
        broker.waitForSubscription(QStringLiteral("bench/idle"), {}, before, DeliveryTimeoutMs))
        idle = sampleIdle(process->processId(), seconds, true);
    else
        qWarning("idle client did not subscribe; its log is %s", qPrintable(launch.outputFile));
    stopProcess(*process);
    return idle;
}

Idle ClientFigures::idleReference(int seconds)
{
    const QString id = QStringLiteral("bench-idle-%1").arg(++runs);
    Launch launch;
    launch.program = config.threadEcho;
    launch.args = QStringList{config.brokerHost, QString::number(config.brokerPort), id,
                              QStringLiteral("bench/idle")};
    const BrokerLog broker(config.brokerLog);
    const std::unique_ptr<QProcess> process = start(launch);
    Idle idle;
    if (broker.waitForSubscription(QStringLiteral("bench/idle"), id, 0, StartTimeoutMs))
        idle = sampleIdle(process->processId(), seconds, false);
    stopProcess(*process);
    return idle;
}

} // namespace bench
