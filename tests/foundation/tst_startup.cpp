#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QResource>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "x11_window_closer.h"

namespace {

const QString kExecutable = QStringLiteral(CORVALEN_DASHBOARD_EXECUTABLE);

// A predictable environment for the real program: our own .env, our own home and runtime
// dirs (the program must never touch the developer's session), none of the caller's keys.
QProcessEnvironment programEnvironment(const QTemporaryDir &tmp)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QStringList keys = env.keys();
    for (const QString &key : keys) {
        if (key.startsWith(QLatin1String("CORVALEN_")) || key.startsWith(QLatin1String("QML")))
            env.remove(key);
    }
    const QDir root(tmp.path());
    root.mkpath(QStringLiteral("home"));
    root.mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert(QStringLiteral("HOME"), root.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("home/.config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("home/.local")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root.filePath(QStringLiteral("home/.cache")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.filePath(QStringLiteral("runtime")));

    QFile dotenv(root.filePath(QStringLiteral("test.env")));
    if (dotenv.open(QIODevice::WriteOnly))
        dotenv.write("CORVALEN_AUTH_BASE_URL=http://127.0.0.1:9/v1\n");
    env.insert(QStringLiteral("CORVALEN_ENV_FILE"), dotenv.fileName());
    return env;
}

QString loadedLine(const QTemporaryDir &tmp)
{
    return QStringLiteral("Loaded .env from CORVALEN_ENV_FILE: \"%1\"")
        .arg(QDir(tmp.path()).filePath(QStringLiteral("test.env")));
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void compiledInResources();
    void exitsWithMinusOneWhenMainQmlFails();
    void exitsWithZeroWhenWindowClosed();
};

void TestStartup::initTestCase()
{
    QVERIFY2(QFile::exists(kExecutable), qPrintable(kExecutable));
}

void TestStartup::compiledInResources()
{
    const QStringList qml{"main.qml", "LoginPage.qml", "MainPage.qml"};
    for (const QString &name : qml) {
        const QResource resource(QStringLiteral(":/user_interface/qml_files/") + name);
        QVERIFY2(resource.isValid(), qPrintable(name));
        QCOMPARE(resource.compressionAlgorithm(), QResource::ZlibCompression);
    }
    const QStringList images{"logo.png", "logout.png", "email.png", "mqtt.png"};
    for (const QString &name : images)
        QVERIFY2(!QImage(QStringLiteral(":/images/") + name).isNull(), qPrintable(name));
}

void TestStartup::exitsWithMinusOneWhenMainQmlFails()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QProcessEnvironment env = programEnvironment(tmp);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // main.qml imports QtQuick.Controls; a style that does not exist makes that import, and so
    // the root object, fail without touching the program.
    env.insert(QStringLiteral("QT_QUICK_CONTROLS_STYLE"), QStringLiteral("CorvalenNoSuchStyle"));

    QProcess program;
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(tmp.path());
    program.start(kExecutable, {});
    QVERIFY(program.waitForStarted(30000));
    QVERIFY2(program.waitForFinished(120000), "the program kept running after main.qml failed");

    const QString err = QString::fromUtf8(program.readAllStandardError());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 255); // -1 as the process exit status
    QVERIFY2(err.contains(loadedLine(tmp)), qPrintable(err));
    QVERIFY2(err.contains(QLatin1String("CorvalenNoSuchStyle")), qPrintable(err));
}

void TestStartup::exitsWithZeroWhenWindowClosed()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        QSKIP("Xvfb is not installed");

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());

    // -displayfd makes Xvfb pick a free display itself and print it once it accepts clients.
    QProcess server;
    server.start(xvfb,
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp")});
    QVERIFY(server.waitForStarted(30000));
    QByteArray displayNumber;
    while (!displayNumber.endsWith('\n')) {
        if (!server.waitForReadyRead(30000))
            QFAIL("Xvfb did not report a display");
        displayNumber += server.readAllStandardOutput();
    }
    const QByteArray display = ':' + displayNumber.trimmed();
    const auto stopServer = qScopeGuard([&server] {
        server.terminate();
        if (!server.waitForFinished(30000))
            server.kill();
        server.waitForFinished(30000);
    });

    QProcessEnvironment env = programEnvironment(tmp);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // German first, then US English, and no translation compiled in: must start untranslated.
    env.insert(QStringLiteral("LANGUAGE"), QStringLiteral("de_DE:en_US"));

    QProcess program;
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(tmp.path());
    program.start(kExecutable, {});
    QVERIFY(program.waitForStarted(30000));
    const auto stopProgram = qScopeGuard([&program] {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(30000);
        }
    });

    X11WindowCloser closer(display);
    QVERIFY(closer.isConnected());
    unsigned long window = 0;
    QTRY_VERIFY_WITH_TIMEOUT(program.state() != QProcess::Running ||
                                 (window = closer.findClosableWindow(program.processId())) != 0,
                             120000);
    if (window == 0)
        QFAIL(program.readAllStandardError().constData());

    QVERIFY(closer.requestClose(window));
    QVERIFY2(program.waitForFinished(60000), "closing the window did not end the program");

    const QString err = QString::fromUtf8(program.readAllStandardError());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY2(err.contains(loadedLine(tmp)), qPrintable(err));
    // "manager" and "mqttClient" must already exist when main.qml's first bindings run.
    QVERIFY2(!err.contains(QLatin1String("ReferenceError")), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
