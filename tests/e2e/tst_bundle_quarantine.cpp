// A dashboard that takes the client down while it is being created must not do so at every
// start. The real client, in an Xvfb window driven with xdotool, is killed during creation,
// started again while the backend serves the same bundle (refused, with a message), then a
// different one (loads). Real backend on loopback.
#include <QDir>
#include <QImage>

#include "e2e/e2e_support.h"

namespace {
constexpr int Timeout = 60000; // generous: the machine may be busy building
const QString Email = QStringLiteral("quarantine@corvalen.example");
const QString Password = QStringLiteral("Quarant1ne-pa55");
constexpr QRgb LoginButton = 0x800080; // only the login page's Login button has it

// Created, it never returns: the client is stuck in creation until it is killed.
const QByteArray HangingDashboard = R"(import QtQuick 2.15
Item {
    Component.onCompleted: {
        console.log("Hanging dashboard created")
        for (;;) {}
    }
}
)";
} // namespace

class BundleQuarantineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir root; // first, so that it goes last
    QProcess xvfb;
    LocalBackend backend;
    QProcessEnvironment env;
    QString userId;

    QString path(const QString &name) const { return root.filePath(name); }
    QString cached(const QString &suffix) const
    {
        return path(".local/share/corvalen_dashboard/dashboard_rcc_cache/" + userId + suffix);
    }
    QByteArray clientLog(int run) const
    {
        return readFile(path(QStringLiteral("client-%1.log").arg(run)));
    }
    std::optional<QByteArray> xdotool(const QStringList &args) const
    {
        return runTool(QStringLiteral("xdotool"), args);
    }
    bool showsLoginPage() const
    {
        const auto png = runTool(QStringLiteral("import"), {"-window", "root", "png:-"});
        const QImage screen = QImage::fromData(png.value_or(""), "PNG");
        int pixels = 0;
        for (int y = 0; y < screen.height(); ++y)
            for (int x = 0; x < screen.width(); ++x)
                pixels += (screen.pixel(x, y) & 0xffffff) == LoginButton;
        return pixels > 3000;
    }
    QString findWindow(const QStringList &criteria) const
    {
        const auto found = xdotool(QStringList{"search", "--sync", "--onlyvisible"} + criteria);
        return QString::fromLatin1(found.value_or("")).section(QLatin1Char('\n'), 0, 0);
    }

    // Starts run `run` of the client and signs in on its login page.
    void startAndSignIn(QProcess &client, int run)
    {
        client.setProcessEnvironment(env);
        client.setWorkingDirectory(root.path());
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.setStandardOutputFile(path(QStringLiteral("client-%1.log").arg(run)));
        client.start(QStringLiteral(CORVALEN_DASHBOARD_EXECUTABLE), {});
        const QString window = findWindow({"--classname", "^corvalen_dashboard$"});
        QVERIFY2(!window.isEmpty(), clientLog(run).constData());
        QTRY_VERIFY_WITH_TIMEOUT(showsLoginPage(), Timeout);

        QMap<QByteArray, int> geometry;
        const auto shell = xdotool({"getwindowgeometry", "--shell", window}).value_or("");
        for (const QByteArray &line : shell.split('\n'))
            geometry[line.split('=').value(0)] = line.split('=').value(1).toInt();
        const QPoint centre(geometry["X"] + geometry["WIDTH"] / 2,
                            geometry["Y"] + geometry["HEIGHT"] / 2);
        // The e-mail field sits in the middle of the page, the password field below it.
        for (const auto &[offset, text] :
             {qMakePair(QPoint(0, 0), Email), qMakePair(QPoint(-60, 42), Password)}) {
            const QPoint at = centre + offset;
            QVERIFY(xdotool({"windowfocus", window, "mousemove", QString::number(at.x()),
                             QString::number(at.y()), "click", "1"}));
            QVERIFY(xdotool({"type", "--delay", "20", text}));
        }
        QVERIFY(xdotool({"key", "Return"}));
    }

private slots:
    void initTestCase()
    {
        xvfb.start(QStringLiteral("Xvfb"),
                   {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        QByteArray number;
        QTRY_VERIFY_WITH_TIMEOUT((number += xvfb.readAllStandardOutput()).endsWith('\n'), Timeout);
        qputenv("DISPLAY", ':' + number.trimmed());

        QVERIFY2(backend.start(), backend.log().constData());
        userId = backend.createUser(Email, Password);
        QVERIFY(!userId.isEmpty());

        QFile qml(path(QStringLiteral("hanging/dashboard.qml")));
        QFile qrc(path(QStringLiteral("hanging/bundle.qrc")));
        QVERIFY(QDir().mkpath(path(QStringLiteral("hanging"))));
        QVERIFY(qml.open(QIODevice::WriteOnly) && qml.write(HangingDashboard) > 0);
        QVERIFY(qrc.open(QIODevice::WriteOnly) &&
                qrc.write("<RCC><qresource prefix=\"/external\"><file>dashboard.qml</file>"
                          "</qresource></RCC>\n") > 0);
        qml.close();
        qrc.close();
        QVERIFY(runTool(QStringLiteral(CORVALEN_RCC_EXECUTABLE),
                        {"-binary", qrc.fileName(), "-o", path(QStringLiteral("hanging.rcc"))}));

        // Nothing inherited: a private home for the session and the bundle cache; no broker.
        env.insert(QStringLiteral("HOME"), root.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.path());
        env.insert(QStringLiteral("DISPLAY"), qEnvironmentVariable("DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
        env.insert(QStringLiteral("CORVALEN_AUTH_BASE_URL"), backend.baseUrl());
        env.insert(QStringLiteral("CORVALEN_MQTT_HOST"), QStringLiteral("127.0.0.1"));
        env.insert(QStringLiteral("CORVALEN_MQTT_PORT"), QStringLiteral("1"));
    }

    void cleanupTestCase() { stopProcess(xvfb); }

    void crashDuringCreationQuarantinesBundle()
    {
        QVERIFY(backend.publishBundle(Email, path(QStringLiteral("hanging.rcc")), "raw"));
        QProcess first;
        startAndSignIn(first, 1);
        QTRY_VERIFY2_WITH_TIMEOUT(clientLog(1).contains("qml: Hanging dashboard created"),
                                  clientLog(1).constData(), Timeout);
        QVERIFY(QFile::exists(cached(".loading")) && QFile::exists(cached(".rcc")));
        first.kill();
        QVERIFY(first.waitForFinished(Timeout));

        // The same bundle, from the cache and again from the backend: refused, and said so.
        QProcess second;
        startAndSignIn(second, 2);
        QVERIFY2(!findWindow({"--name", "^RCC download failed$"}).isEmpty(),
                 clientLog(2).constData());
        QVERIFY(clientLog(2).contains(
            "Quarantined dashboard RCC that did not finish loading in an earlier run"));
        QVERIFY(clientLog(2).contains("Refused quarantined dashboard RCC"));
        QVERIFY(!clientLog(2).contains("Hanging dashboard created"));
        QVERIFY(!QFile::exists(cached(".rcc")) && QFile::exists(cached(".quarantined")));
        stopProcess(second);

        // A different bundle loads and lifts the quarantine; its load leaves no mark.
        QVERIFY(backend.publishBundle(Email, QStringLiteral(SAMPLE_DASHBOARD_RCC), "raw"));
        QProcess third;
        startAndSignIn(third, 3);
        QTRY_VERIFY2_WITH_TIMEOUT(clientLog(3).contains("qml: Sample dashboard loaded"),
                                  clientLog(3).constData(), Timeout);
        QVERIFY(!QFile::exists(cached(".quarantined")) && !QFile::exists(cached(".loading")));
        stopProcess(third);
    }
};

QTEST_GUILESS_MAIN(BundleQuarantineTest)
#include "tst_bundle_quarantine.moc"
