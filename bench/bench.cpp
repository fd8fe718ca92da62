// Side-by-side figures of the client and of a reference for each, taken in the same run and
// interleaved (reference, ours, reference, ours...), the median of several rounds. Expects a
// broker and the local backend on loopback and an X display; scripts/bench provides them.
//
//   corvalen_bench --broker HOST:PORT --broker-log FILE --backend URL --backend-db FILE
//                  --work DIR [--rounds 3] [--only mqtt,flood,startup,delivery,idle]
//                  [--messages 100000] [--pings 2000] [--idle-seconds 20]
//                  [--flood-rate 20000] [--flood-seconds 5]
//
// Prints one Markdown table on standard output; progress goes to standard error.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <tuple>
#include <unistd.h>

#include <mosquitto.h>

#include "bench_support.h"
#include "client_figures.h"
#include "mqtt_figures.h"

using namespace bench;

namespace {

struct Row
{
    QString figure;
    QString ours;
    QString reference;
    QString ratio;
    QString goal;
    QString met; // "yes", "no", or empty when a figure is missing
};

QString number(double value, int decimals = 0)
{
    return valid(value) ? QString::number(value, 'f', decimals) : QStringLiteral("n/a");
}

// Ratios are taken per round, against that round's reference, and their median reported.
struct Series
{
    QList<double> ours;
    QList<double> reference;
    QList<double> ratios;
    void add(double mine, double theirs)
    {
        ours.append(mine);
        reference.append(theirs);
        ratios.append(valid(mine) && valid(theirs) && theirs != 0 ? mine / theirs : Missing);
    }
};

Row ratioRow(const QString &figure, const Series &series, const QString &unit,
             const QString &referenceName, double goal, bool atLeast, int decimals = 0)
{
    const double ratio = median(series.ratios);
    Row row{figure,
            number(median(series.ours), decimals) + ' ' + unit,
            referenceName + ' ' + number(median(series.reference), decimals) + ' ' + unit,
            valid(ratio) ? number(ratio, 2) + QStringLiteral("×") : QStringLiteral("n/a"),
            (atLeast ? QStringLiteral("≥ ") : QStringLiteral("≤ ")) + number(goal, 2) +
                QStringLiteral("×"),
            {}};
    if (valid(ratio))
        row.met = (atLeast ? ratio >= goal : ratio <= goal) ? "yes" : "no";
    return row;
}

QString machine()
{
    QString cpu;
    const QList<QByteArray> lines = readFile(QStringLiteral("/proc/cpuinfo")).split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("model name")) {
            cpu = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
            break;
        }
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    return QStringLiteral("%1, %2 cores; Qt %3, libmosquitto %4.%5.%6")
        .arg(cpu)
        .arg(sysconf(_SC_NPROCESSORS_ONLN))
        .arg(QString::fromLatin1(qVersion()))
        .arg(major)
        .arg(minor)
        .arg(revision);
}

QString loadAverage()
{
    return QString::fromLatin1(readFile(QStringLiteral("/proc/loadavg"))).section(' ', 0, 2);
}

// A bundle of about `bytes`: the dashboard that marks its creation and, when the client has a
// broker configured, connects to it; and incompressible filler.
std::optional<QString> makeBundle(const QString &work, qint64 bytes)
{
    QDir dir(work);
    const QString name = QStringLiteral("bundle-%1").arg(bytes);
    dir.mkpath(name);
    dir.cd(name);
    const QByteArray dashboard = R"(import QtQuick
Item {
    Component.onCompleted: {
        console.log("bench dashboard created")
        const host = manager.appConfigValue("CORVALEN_MQTT_HOST")
        if (host !== "")
            manager.configureDashboardMqtt(host, parseInt(manager.appConfigValue("CORVALEN_MQTT_PORT"), 10), ["bench/idle"])
    }
}
)";
    QByteArray filler(bytes, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(filler.data()),
                                          filler.size() / 4);
    const QByteArray qrc = "<RCC><qresource prefix=\"/external\"><file>dashboard.qml</file>"
                           "<file>filler.bin</file></qresource></RCC>\n";
    if (!writeFile(dir.filePath("dashboard.qml"), dashboard) ||
        !writeFile(dir.filePath("filler.bin"), filler) ||
        !writeFile(dir.filePath("bundle.qrc"), qrc))
        return std::nullopt;
    const QString bundle = dir.filePath("bundle.rcc");
    if (!run(QStringLiteral(CORVALEN_RCC_EXECUTABLE),
             {"--binary", "--no-compress", dir.filePath("bundle.qrc"), "-o", bundle}))
        return std::nullopt;
    return bundle;
}

class Bench
{
public:
    Bench(const QCommandLineParser &options)
        : rounds(qMax(1, options.value("rounds").toInt())),
          messages(qMax(1, options.value("messages").toInt())),
          pings(qMax(1, options.value("pings").toInt())),
          idleSeconds(qMax(1, options.value("idle-seconds").toInt())),
          floodRate(qMax(1, options.value("flood-rate").toInt())),
          floodSeconds(qMax(1, options.value("flood-seconds").toInt())),
          backendUrl(options.value("backend")), backendDb(options.value("backend-db")),
          work(options.value("work"))
    {
        broker.host = options.value("broker").section(':', 0, 0);
        broker.port = options.value("broker").section(':', 1, 1).toInt();
        broker.log = options.value("broker-log");
        const QDir here(QCoreApplication::applicationDirPath());
        programs.peer = here.filePath("bench_mqtt_peer");
        programs.threadEcho = here.filePath("bench_thread_echo");
        floor = here.filePath("bench_floor");
    }

    std::unique_ptr<MqttDriver> connectedDriver() const;
    bool mqttFigures();
    bool floodFigures();
    bool startupFigures();
    bool deliveryFigures();
    bool idleFigures();
    void print(const QString &loadBefore) const;

private:
    std::optional<Account> makeAccount(qint64 bytes, const QString &format);
    ClientSetup clientSetup() const
    {
        return ClientSetup{QStringLiteral(CORVALEN_DASHBOARD_EXECUTABLE),
                           floor,
                           programs.threadEcho,
                           backendUrl,
                           broker.host,
                           broker.port,
                           broker.log,
                           work};
    }

    int rounds;
    int messages;
    int pings;
    int idleSeconds;
    int floodRate;
    int floodSeconds;
    QString backendUrl;
    QString backendDb;
    QString work;
    BrokerAddress broker;
    Programs programs;
    QString floor;
    QList<Row> rows;
};

std::unique_ptr<MqttDriver> Bench::connectedDriver() const
{
    auto driver = std::make_unique<MqttDriver>(broker);
    if (driver->connect())
        return driver;
    qWarning("the benchmark's own MQTT clients could not connect");
    return nullptr;
}

bool Bench::mqttFigures()
{
    const std::unique_ptr<MqttDriver> driver = connectedDriver();
    if (!driver)
        return false;
    MqttFigures figures(*driver, broker, programs, work);

    struct Variant
    {
        QString name;
        Receiver receiver;
        Echo echo;
        bool debugLog;
        Series throughput, p50, p99;
        int lost = 0;
    };
    QList<Variant> variants{
        {"C++ slot, log kept", Receiver::CppSlot, Echo::CppSlot, true, {}, {}, {}},
        {"C++ slot, debug off", Receiver::CppSlot, Echo::CppSlot, false, {}, {}, {}},
        {"QML handler, log kept", Receiver::QmlHandler, Echo::QmlHandler, true, {}, {}, {}},
        {"QML handler, debug off", Receiver::QmlHandler, Echo::QmlHandler, false, {}, {}, {}}};
    for (int round = 1; round <= rounds; ++round) {
        std::fprintf(stderr, "mqtt: round %d of %d\n", round, rounds);
        for (Variant &variant : variants) {
            const double reference = figures.throughput(Receiver::MosquittoSub, true, messages);
            variant.throughput.add(figures.throughput(variant.receiver, variant.debugLog, messages),
                                   reference);
        }
        for (Variant &variant : variants) {
            const RoundTrip reference = figures.roundTrip(Echo::LibraryThread, true, pings);
            const RoundTrip ours = figures.roundTrip(variant.echo, variant.debugLog, pings);
            variant.p50.add(ours.p50Us, reference.p50Us);
            variant.p99.add(ours.p99Us, reference.p99Us);
            variant.lost += ours.lost;
        }
    }
    const QString messageCount = QString::number(messages);
    for (const Variant &variant : std::as_const(variants))
        rows.append(ratioRow("MQTT throughput, " + messageCount + " × 32 B QoS 0, " + variant.name,
                             variant.throughput, "msg/s", "mosquitto_sub", 0.95, true));
    for (const Variant &variant : std::as_const(variants)) {
        const QString lost = variant.lost ? QStringLiteral(" (%1 lost)").arg(variant.lost) : "";
        // A QML handler pays the engine's call into JavaScript, which a C++ slot does not.
        const double p50Goal = variant.echo == Echo::QmlHandler ? 1.2 : 1.0;
        rows.append(ratioRow("Round trip p50, " + variant.name + lost, variant.p50, "µs",
                             "thread client", p50Goal, false));
        rows.append(ratioRow("Round trip p99, " + variant.name + lost, variant.p99, "µs",
                             "thread client", 1.2, false));
    }
    return true;
}

bool Bench::floodFigures()
{
    const std::unique_ptr<MqttDriver> driver = connectedDriver();
    if (!driver)
        return false;
    MqttFigures figures(*driver, broker, programs, work);
    struct Variant
    {
        QString name;
        bool debugLog;
        Series fps, gap;
        QList<double> handled;
    };
    QList<Variant> variants{{"log kept", true, {}, {}, {}}, {"debug off", false, {}, {}, {}}};
    for (int round = 1; round <= rounds; ++round) {
        std::fprintf(stderr, "flood: round %d of %d\n", round, rounds);
        for (Variant &variant : variants) {
            const Smoothness idle = figures.smoothness(0, variant.debugLog, floodSeconds);
            const Smoothness flooded =
                figures.smoothness(floodRate, variant.debugLog, floodSeconds);
            variant.fps.add(flooded.framesPerS, idle.framesPerS);
            variant.gap.add(flooded.longestGapMs, idle.longestGapMs);
            variant.handled.append(flooded.messagesPerS);
        }
    }
    const QString flood = QStringLiteral("%1 × 32 B QoS 0 msg/s").arg(floodRate);
    for (const Variant &variant : std::as_const(variants)) {
        rows.append(ratioRow("Animated dashboard under " + flood + ", frame rate, " + variant.name,
                             variant.fps, "fps", "no traffic", 0.9, true, 1));
        const double gap = median(variant.gap.ours);
        rows.append(Row{"Animated dashboard under " + flood + ", longest gap between frames, " +
                            variant.name,
                        number(gap, 1) + " ms",
                        "no traffic " + number(median(variant.gap.reference), 1) + " ms",
                        valid(median(variant.gap.ratios))
                            ? number(median(variant.gap.ratios), 2) + QStringLiteral("×")
                            : QString(),
                        QStringLiteral("< 50 ms"), valid(gap) ? (gap < 50 ? "yes" : "no") : ""});
        const double handled = median(variant.handled);
        rows.append(
            Row{"Animated dashboard under " + flood + ", messages handled, " + variant.name,
                number(handled) + " msg/s", "published " + QString::number(floodRate) + " msg/s",
                valid(handled) ? number(handled / floodRate, 2) + QStringLiteral("×") : QString(),
                QStringLiteral("≥ 0.95×"),
                valid(handled) ? (handled >= 0.95 * floodRate ? "yes" : "no") : ""});
    }
    return true;
}

bool Bench::startupFigures()
{
    ClientFigures client(clientSetup());
    if (!client.open()) {
        qWarning("no X display with the DAMAGE extension");
        return false;
    }
    using Program = ClientFigures::Program;
    // One start of each first, for the file cache.
    for (const Program program : {Program::Floor, Program::FloorWithForm, Program::Client})
        client.startup(program);
    Series mapped, time, memory, timeForm, memoryForm;
    for (int round = 1; round <= rounds; ++round) {
        std::fprintf(stderr, "start-up: round %d of %d\n", round, rounds);
        const Shown floorShown = client.startup(Program::Floor);
        const Shown clientShown = client.startup(Program::Client);
        const Shown formShown = client.startup(Program::FloorWithForm);
        mapped.add(clientShown.mappedMs, floorShown.mappedMs);
        time.add(clientShown.ms, floorShown.ms);
        memory.add(clientShown.rssMiB, floorShown.rssMiB);
        timeForm.add(clientShown.ms, formShown.ms);
        memoryForm.add(clientShown.rssMiB, formShown.rssMiB);
    }
    rows.append(ratioRow("Start-up, exec to first frame of the login window", time, "ms", "floor",
                         1.1, false));
    rows.append(ratioRow("Resident memory once shown", memory, "MiB", "floor", 1.05, false, 1));
    Row row =
        ratioRow("Start-up, exec to the login window mapped", mapped, "ms", "floor", 1.1, false);
    row.goal.clear();
    row.met.clear();
    rows.append(row);
    for (auto [figure, series, unit] :
         {std::tuple{"Start-up, exec to first frame", &timeForm, "ms"},
          std::tuple{"Resident memory once shown", &memoryForm, "MiB"}}) {
        row = ratioRow(figure, *series, unit, "floor with a form", 1.1, false, 1);
        row.goal.clear();
        row.met.clear();
        rows.append(row);
    }
    return true;
}

std::optional<Account> Bench::makeAccount(qint64 bytes, const QString &format)
{
    const auto bundle = makeBundle(work, bytes);
    if (!bundle)
        return std::nullopt;
    Account account;
    account.email = QStringLiteral("bench-%1-%2@bench.example").arg(bytes).arg(format);
    account.password = QStringLiteral("bench-password-%1").arg(bytes);
    account.format = format;
    account.bundleBytes = QFileInfo(*bundle).size();
    const QString backend = QStringLiteral(CORVALEN_BACKEND_EXECUTABLE);
    // The password goes in on standard input: the backend refuses it on a command line.
    const auto id = run(backend, {"create-user", "--db", backendDb, "--email", account.email},
                        account.password.toUtf8() + '\n');
    if (!id || !run(backend, {"publish-bundle", "--db", backendDb, "--email", account.email,
                              "--file", *bundle, "--format", format}))
        return std::nullopt;
    account.id = QString::fromUtf8(id->trimmed());
    const QByteArray body =
        QJsonDocument(QJsonObject{{"email", account.email}, {"password", account.password}})
            .toJson(QJsonDocument::Compact);
    const auto answer = run(QStringLiteral("curl"),
                            {"-s", "-f", "-H", "Content-Type: application/json", "--data-binary",
                             "@-", backendUrl + "/signin/email-password"},
                            body);
    account.accessToken = QJsonDocument::fromJson(answer.value_or(""))
                              .object()
                              .value("session")
                              .toObject()
                              .value("accessToken")
                              .toString();
    if (account.id.isEmpty() || account.accessToken.isEmpty())
        return std::nullopt;
    return account;
}

namespace {
// A raw bundle within 1.5 times curl's time, a small one within curl's time and 5 ms (start-up
// costs of its own dominate there), a base64 one within twice curl's time.
Row deliveryRow(const QString &figure, const Series &series, const Account &account)
{
    const bool base64 = account.format == QLatin1String("base64");
    if (base64 || account.bundleBytes > 5 * 1000 * 1000)
        return ratioRow(figure, series, "ms", "curl", base64 ? 2.0 : 1.5, false, 1);
    Row row = ratioRow(figure, series, "ms", "curl", 0, false, 1);
    QList<double> over;
    for (qsizetype i = 0; i < series.ours.size(); ++i)
        over.append(valid(series.ours.at(i)) && valid(series.reference.at(i))
                        ? series.ours.at(i) - series.reference.at(i)
                        : Missing);
    const double extra = median(over);
    row.goal = QStringLiteral("≤ curl + 5 ms");
    row.met = valid(extra) ? (extra <= 5 ? "yes" : "no") : "";
    return row;
}
} // namespace

bool Bench::deliveryFigures()
{
    ClientFigures client(clientSetup());
    struct Case
    {
        Account account;
        Series download;
        QList<double> cacheHit;
    };
    QList<Case> cases;
    for (const qint64 megabytes : {1, 10, 50}) {
        for (const char *format : {"raw", "base64"}) {
            const auto account = makeAccount(megabytes * 1000 * 1000, QLatin1String(format));
            if (!account) {
                qWarning("could not set up the %lld MB %s account", megabytes, format);
                return false;
            }
            cases.append(Case{*account, {}, {}});
        }
    }
    for (int round = 1; round <= rounds; ++round) {
        std::fprintf(stderr, "delivery: round %d of %d\n", round, rounds);
        for (Case &item : cases) {
            QTemporaryDir home(QDir(work).filePath(QStringLiteral("home-XXXXXX")));
            home.setAutoRemove(false); // the script removes the work folder, unless kept
            const double curl = client.curlMs(item.account);
            item.download.add(client.deliveryMs(item.account, home.path()), curl);
            // The same account again in the same home: its bundle is in the cache now.
            if (item.account.format == QLatin1String("raw"))
                item.cacheHit.append(client.deliveryMs(item.account, home.path()));
        }
    }
    for (const Case &item : std::as_const(cases)) {
        const QString size = number(double(item.account.bundleBytes) / 1e6, 1) + " MB";
        rows.append(deliveryRow("Dashboard delivery, " + size + " " + item.account.format +
                                    ", sign-in reply to dashboard created",
                                item.download, item.account));
        if (!item.cacheHit.isEmpty()) {
            const double hit = median(item.cacheHit);
            rows.append(Row{"Dashboard from the cache, " + size +
                                ", sign-in reply to dashboard "
                                "created",
                            number(hit, 1) + " ms", "", "", QStringLiteral("≤ 50 ms"),
                            valid(hit) ? (hit <= 50 ? "yes" : "no") : ""});
        }
    }
    return true;
}

bool Bench::idleFigures()
{
    ClientFigures client(clientSetup());
    const auto account = makeAccount(1000, QStringLiteral("raw"));
    if (!account)
        return false;
    Series wakeups, cpu;
    QList<double> allThreads;
    for (int round = 1; round <= rounds; ++round) {
        std::fprintf(stderr, "idle: round %d of %d\n", round, rounds);
        QTemporaryDir home(QDir(work).filePath(QStringLiteral("home-XXXXXX")));
        home.setAutoRemove(false); // the script removes the work folder, unless kept
        const Idle reference = client.idleReference(idleSeconds);
        const Idle ours = client.idleClient(*account, home.path(), idleSeconds);
        wakeups.add(ours.mqttThreadWakeupsPerS, reference.mqttThreadWakeupsPerS);
        cpu.add(ours.cpuMs, reference.cpuMs);
        allThreads.append(ours.allThreadWakeupsPerS);
    }
    const double gui = median(wakeups.ours);
    rows.append(Row{"Idle connected client, wake-ups/s of the thread running MQTT",
                    number(gui, 2) + "/s (every thread: " + number(median(allThreads), 2) + "/s)",
                    "thread client " + number(median(wakeups.reference), 2) + "/s",
                    valid(median(wakeups.ratios)) ? number(median(wakeups.ratios), 2) + "×" : "",
                    QStringLiteral("≤ 1.1/s"), valid(gui) ? (gui <= 1.1 ? "yes" : "no") : ""});
    rows.append(Row{"Idle connected client, CPU time over " + QString::number(idleSeconds) + " s",
                    number(median(cpu.ours), 1) + " ms",
                    "thread client " + number(median(cpu.reference), 1) + " ms", "", "", ""});
    return true;
}

void Bench::print(const QString &loadBefore) const
{
    std::printf("Taken %s on %s; load average %s before, %s after; median of %d rounds.\n\n",
                qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)),
                qPrintable(machine()), qPrintable(loadBefore), qPrintable(loadAverage()), rounds);
    std::printf("| Figure | Ours | Reference | Ratio | Goal | Met |\n|---|---|---|---|---|---|\n");
    for (const Row &row : rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", qPrintable(row.figure),
                    qPrintable(row.ours), qPrintable(row.reference), qPrintable(row.ratio),
                    qPrintable(row.goal), qPrintable(row.met));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Side-by-side figures of the client and its references.");
    parser.addHelpOption();
    parser.addOptions({
        {"broker", "Broker address.", "host:port"},
        {"broker-log", "The broker's log file (log_type subscribe).", "file"},
        {"backend", "The local backend's base URL.", "url"},
        {"backend-db", "The local backend's database.", "file"},
        {"work", "A directory for bundles, homes and logs.", "dir"},
        {"rounds", "Rounds per figure.", "n", "3"},
        {"only", "Some of: mqtt, flood, startup, delivery, idle.", "list",
         "mqtt,flood,startup,delivery,idle"},
        {"messages", "Messages per throughput run.", "n", "100000"},
        {"pings", "Round trips per run.", "n", "2000"},
        {"idle-seconds", "Length of an idle sample.", "s", "20"},
        {"flood-rate", "Messages per second of the flood.", "n", "20000"},
        {"flood-seconds", "Frames counted per flood run.", "s", "5"},
    });
    parser.process(app);
    for (const char *required : {"broker", "broker-log", "backend", "backend-db", "work"})
        if (!parser.isSet(required)) {
            std::fprintf(stderr, "missing --%s\n", required);
            return 2;
        }

    mosquitto_lib_init();
    const QString loadBefore = loadAverage();
    Bench bench(parser);
    const QStringList only = parser.value("only").split(',');
    bool ok = true;
    if (only.contains("mqtt"))
        ok = bench.mqttFigures() && ok;
    if (only.contains("flood"))
        ok = bench.floodFigures() && ok;
    if (only.contains("startup"))
        ok = bench.startupFigures() && ok;
    if (only.contains("delivery"))
        ok = bench.deliveryFigures() && ok;
    if (only.contains("idle"))
        ok = bench.idleFigures() && ok;
    bench.print(loadBefore);
    mosquitto_lib_cleanup();
    return ok ? 0 : 1;
}
