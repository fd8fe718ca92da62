#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <X11/Xlib.h>

namespace {

// What a window manager's close button does: WM_DELETE_WINDOW to the first viewable top-level
// window, which on our private display is the program's. False while there is none.
bool closeTopLevelWindow(Display *dpy)
{
    Window root = 0, parent = 0, *children = nullptr, target = 0;
    unsigned int count = 0;
    XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count);
    for (unsigned int i = 0; i < count && !target; ++i) {
        XWindowAttributes attr;
        if (XGetWindowAttributes(dpy, children[i], &attr) && attr.map_state == IsViewable)
            target = children[i];
    }
    XFree(children);
    if (!target)
        return false;
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = target;
    event.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    XSendEvent(dpy, target, False, NoEventMask, &event);
    XFlush(dpy);
    return true;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

    QProcess xvfb;
    Display *display = nullptr;

private slots:
    void initTestCase()
    {
        // Xvfb picks a free display and prints it; it ends with its last client, even if we abort.
        xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-terminate"});
        QByteArray number;
        while (!number.endsWith('\n') && xvfb.waitForReadyRead(30000))
            number += xvfb.readAllStandardOutput();
        qputenv("DISPLAY", ":" + number.trimmed()); // for us and for the program
        display = XOpenDisplay(nullptr);
        QVERIFY2(display, "Xvfb did not start");
        // A window that goes away while we look at it must not end the test.
        XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
    }

    void cleanupTestCase()
    {
        xvfb.terminate();
        xvfb.waitForFinished(30000);
    }

    void exitCode_data()
    {
        QTest::addColumn<QString>("controlsStyle");
        QTest::addColumn<int>("exitCode");
        // main.qml imports QtQuick.Controls: with a style that does not exist its root fails.
        QTest::newRow("main.qml fails") << "CorvalenNoSuchStyle" << 255;
        QTest::newRow("window closed") << QString() << 0;
    }

    void exitCode()
    {
        QFETCH(QString, controlsStyle);
        QFETCH(int, exitCode);

        // Our own home, cache and .env: the program must not touch the developer's session.
        QTemporaryDir tmp;
        QFile dotenv(tmp.filePath(".env"));
        QVERIFY(dotenv.open(QIODevice::WriteOnly));
        dotenv.write("CORVALEN_AUTH_BASE_URL=http://127.0.0.1:9/v1\n");
        dotenv.close();
        QProcessEnvironment env; // none of the caller's variables, CORVALEN_ and QML ones above all
        env.insert("DISPLAY", qEnvironmentVariable("DISPLAY"));
        env.insert("HOME", tmp.path());
        env.insert("XDG_CACHE_HOME", tmp.filePath("cache"));
        env.insert("XDG_RUNTIME_DIR", tmp.path()); // already private (0700)
        env.insert("QT_QPA_PLATFORM", "xcb");
        if (!controlsStyle.isEmpty())
            env.insert("QT_QUICK_CONTROLS_STYLE", controlsStyle);

        QProcess program;
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(tmp.path());
        program.start(CORVALEN_DASHBOARD_EXECUTABLE, {});
        QTRY_VERIFY_WITH_TIMEOUT(
            program.state() == QProcess::NotRunning || closeTopLevelWindow(display), 60000);
        QVERIFY(program.state() == QProcess::NotRunning || program.waitForFinished(60000));

        const QString err = QString::fromUtf8(program.readAllStandardError());
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), exitCode);
        QVERIFY(err.contains(QStringLiteral("Loaded .env from: \"%1\"").arg(dotenv.fileName())));
        QVERIFY(err.contains(controlsStyle));
        // "manager" and "mqttClient" must already exist when main.qml's first bindings run.
        QVERIFY(!err.contains("ReferenceError"));
        // Every user's bundle has the same qrc URL: a QML disk cache could show the previous one.
        QDirIterator it(tmp.path(), {"qmlcache"}, QDir::Dirs, QDirIterator::Subdirectories);
        QVERIFY(!it.hasNext());
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
