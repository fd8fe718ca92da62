#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include "auth/authhandler.h"
#include "support/desktop_client.h"
#include "support/processes.h"
#include "support/sandbox.h"
#include "support/scripted_http_server.h"

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

    PrivateDisplay xvfb;
    Display *display = nullptr;

private slots:
    void initTestCase()
    {
        QVERIFY(xvfb.start());
        display = XOpenDisplay(nullptr);
        QVERIFY2(display, "Xvfb did not start");
        // A window that goes away while we look at it must not end the test.
        XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
    }

    void cleanupTestCase() { XCloseDisplay(display); }

    void init() { home.emplace(); }

    void failingMainQmlExitsWithMinusOne()
    {
        // main.qml imports QtQuick.Controls: with a style that does not exist its root fails.
        const QString style = "CorvalenNoSuchStyle";
        QString err;
        const int exitCode = run({{"QT_QUICK_CONTROLS_STYLE", style}}, &err);
        QVERIFY2(exitCode == 255 && err.contains(style), qPrintable(err));
    }

    void storedSessionIsResumedAndClosingExitsWithZero()
    {
        ScriptedHttpServer auth;
        QVERIFY(auth.start());
        auth.setHandler([](const auto &) {
            return ScriptedHttpServer::Response::json(
                200, R"({"accessToken":"a1","refreshToken":"r1","accessTokenExpiresIn":3600})");
        });
        // A session from an earlier run, renewed a second after the program resumes it.
        QSettings stored(home->filePath(".config/YourCompany/YourApp.ini"), QSettings::IniFormat);
        stored.setValue("token", EncodeStoredValue("a0"));
        stored.setValue("refreshToken", EncodeStoredValue("r0"));
        stored.setValue("tokenLifeTime", 1);
        stored.setValue("id", "user-1");
        stored.setValue("email", "u@example.org");
        stored.sync();

        // Only a resumed session sends anything: main.qml's isUserLoggedIn() really ran.
        const auto resumed = [&] { return auth.requestCount() > 0; };
        QString err;
        const int exitCode = run({}, &err, resumed, auth.baseUrl());
        QVERIFY2(exitCode == 0, qPrintable(err));
        QVERIFY(
            err.contains(QStringLiteral("Loaded .env from: \"%1\"").arg(home->filePath(".env"))));
        const auto request = auth.lastRequest();
        QCOMPARE(request.method + ' ' + request.target, QByteArray("POST /v1/token"));
        QCOMPARE(QJsonDocument::fromJson(request.body).object()["refreshToken"].toString(), "r0");
        // Every user's bundle has the same qrc URL: a QML disk cache could show the previous one.
        QDirIterator it(home->path(), {"qmlcache"}, QDir::Dirs | QDir::Hidden,
                        QDirIterator::Subdirectories);
        QVERIFY(!it.hasNext());
    }

    // Both print and end without a display, as in a terminal over ssh or in a script.
    void helpAndVersionNeedNoDisplay_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("expected");
        QTest::newRow("--help") << QString("--help") << "Options:\n  -h, --help";
        QTest::newRow("-h") << QString("-h") << "  -v, --version";
        QTest::newRow("--version") << QString("--version") << "corvalen_dashboard 1.0\n";
        QTest::newRow("-v") << QString("-v") << "corvalen_dashboard 1.0\n";
    }
    void helpAndVersionNeedNoDisplay()
    {
        QFETCH(QString, option);
        QFETCH(QString, expected);
        QProcess program;
        QProcessEnvironment env; // no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM
        env.insert("HOME", home->path());
        program.setProcessEnvironment(env);
        endWithTestProgram(program);
        program.start(DesktopClient::executable(), {option});
        QVERIFY(program.waitForFinished(60000));
        const QString out = QString::fromUtf8(program.readAllStandardOutput());
        QVERIFY2(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0,
                 qPrintable(program.readAllStandardError()));
        QVERIFY2(out.contains(expected), qPrintable(out));
        QVERIFY(!QFile::exists(sessionFile())); // it never got as far as the session
    }

    void windowTitledWithTheProductName()
    {
        DesktopClient client;
        QVERIFY2(client.start(clientEnv(), home->filePath("client.log")), client.log().constData());
        QVERIFY(!client.findWindow({"--name", "^Corvalen Dashboard$"}).isEmpty());
    }

    // Further starts on the profile end with 0, and the running client hears of each: it is
    // still there to answer the last one. A client killed outright leaves its lock behind, and
    // the next start takes the profile over.
    void secondStartAsksTheRunningClient_data()
    {
        QTest::addColumn<bool>("killedBefore");
        QTest::newRow("first client") << false;
        QTest::newRow("after a killed client") << true;
    }
    void secondStartAsksTheRunningClient()
    {
        QFETCH(bool, killedBefore);
        if (killedBefore) {
            DesktopClient killed;
            QVERIFY2(killed.start(clientEnv(), home->filePath("killed.log")),
                     killed.log().constData());
            killed.process().kill();
            QVERIFY(killed.process().waitForFinished(60000));
            QVERIFY(QFile::exists(home->filePath(".config/YourCompany/corvalen_dashboard.lock")));
        }
        DesktopClient running;
        QVERIFY2(running.start(clientEnv(), home->filePath("running.log")),
                 running.log().constData());
        QProcessEnvironment env = clientEnv();
        env.insert("DISPLAY", qEnvironmentVariable("DISPLAY"));
        env.insert("QT_QPA_PLATFORM", "xcb");
        for (int start = 1; start <= 2; ++start) {
            QProcess again;
            again.setProcessEnvironment(env);
            endWithTestProgram(again);
            again.start(DesktopClient::executable(), {});
            QVERIFY(again.waitForFinished(60000));
            QCOMPARE(again.exitStatus(), QProcess::NormalExit);
            QCOMPARE(again.exitCode(), 0);
            QTRY_COMPARE_WITH_TIMEOUT(
                running.log().count("Another start on this profile asked for the window"), start,
                60000);
        }
    }

    // The window comes back where and as large as it was left, from a file of its own.
    void windowGeometryKeptBetweenRuns()
    {
        const QRect moved(130, 70, 900, 640);
        {
            DesktopClient client;
            QVERIFY2(client.start(clientEnv(), home->filePath("first.log")),
                     client.log().constData());
            const QString window = client.findWindow({"--classname", "^corvalen_dashboard$"});
            QVERIFY(runTool("xdotool",
                            {"windowsize", window, "900", "640", "windowmove", window, "130", "70"})
                        .ok());
            QTRY_COMPARE_WITH_TIMEOUT(client.geometryOf(window), moved, 60000);
            QVERIFY(QTest::qWaitFor([&] { return closeTopLevelWindow(display); }, 60000));
            QVERIFY(client.process().waitForFinished(60000));
            QCOMPARE(client.process().exitCode(), 0);
        }
        QVERIFY(!readFile(sessionFile()).contains("geometry"));
        DesktopClient again;
        QVERIFY2(again.start(clientEnv(), home->filePath("again.log")), again.log().constData());
        const QString window = again.findWindow({"--classname", "^corvalen_dashboard$"});
        QTRY_COMPARE_WITH_TIMEOUT(again.geometryOf(window), moved, 60000);
    }

    // On a 1280x800 screen the window fits whatever the scale, the logo is whole, and the form
    // scrolls to its last button when the window is shorter than the form.
    void loginPageFitsWhenScaled_data()
    {
        QTest::addColumn<QString>("scale");
        QTest::newRow("1") << "1";
        QTest::newRow("1.5") << "1.5";
        QTest::newRow("2") << "2";
    }
    void loginPageFitsWhenScaled()
    {
        QFETCH(QString, scale);
        QProcessEnvironment env = clientEnv();
        env.insert("QT_SCALE_FACTOR", scale);
        DesktopClient client;
        QVERIFY2(client.start(env, home->filePath("client.log")), client.log().constData());
        const QRect area = client.area();
        QVERIFY(QRect(0, 0, 1280, 800).contains(area));
        // Down the middle: black, then the logo's disc from its top edge, then black again.
        const QImage screen = client.screenshot();
        const int x = area.center().x();
        int top = area.top();
        while (top < area.bottom() && screen.pixel(x, top) == qRgb(0, 0, 0))
            ++top;
        int bottom = top;
        while (bottom < area.bottom() && screen.pixel(x, bottom) != qRgb(0, 0, 0))
            ++bottom;
        QVERIFY2(top > area.top() && qAbs(bottom - top - 180 * scale.toDouble()) <= 3,
                 qPrintable(QString("logo rows %1 to %2").arg(top).arg(bottom)));
        // Scrolled to the end, the Sign Up button is whole and inside the window.
        for (int i = 0; i < 10; ++i)
            QVERIFY(runTool("xdotool", {"mousemove", QString::number(x),
                                        QString::number(area.center().y()), "click", "5"})
                        .ok());
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QRect button =
                    pixelsOf(client.screenshot(), DesktopClient::kSignUpButton).boundingRect();
                return area.contains(button) && button.bottom() < area.bottom() &&
                       button.height() >= 30 * scale.toDouble();
            }(),
            60000);
    }

private:
    QString sessionFile() const { return home->filePath(".config/YourCompany/YourApp.ini"); }
    QProcessEnvironment clientEnv() const
    {
        QProcessEnvironment env;
        env.insert("HOME", home->path());
        env.insert("XDG_RUNTIME_DIR", home->path());
        return env;
    }
    // Runs the program in its own home with only the given variables besides the display's;
    // once ready() holds (at once when none is given) its window is closed. Answers the exit
    // code, or -2 when the program did not end normally.
    int run(const QList<QPair<QString, QString>> &variables, QString *err,
            const std::function<bool()> &ready = {}, const QString &authBase = "http://127.0.0.1:9")
    {
        if (!writeFile(home->filePath(".env"),
                       "CORVALEN_AUTH_BASE_URL=" + authBase.toUtf8() + "/v1\n"))
            return -2;
        QProcessEnvironment env; // none of the caller's variables, CORVALEN_ and QML ones above all
        env.insert("DISPLAY", qEnvironmentVariable("DISPLAY"));
        env.insert("HOME", home->path());
        env.insert("XDG_RUNTIME_DIR", home->path()); // already private (0700)
        env.insert("QT_QPA_PLATFORM", "xcb");
        for (const auto &[name, value] : variables)
            env.insert(name, value);

        QProcess program;
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(home->path());
        endWithTestProgram(program);
        program.start(DesktopClient::executable(), {});
        const auto ended = [&] { return program.state() == QProcess::NotRunning; };
        if (ready)
            (void)QTest::qWaitFor([&] { return ended() || ready(); }, 60000);
        (void)QTest::qWaitFor([&] { return ended() || closeTopLevelWindow(display); }, 60000);
        const bool finished = ended() || program.waitForFinished(60000);
        *err = QString::fromUtf8(program.readAllStandardError());
        return finished && program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -2;
    }

    // Our own home, cache and .env, new for each test: the developer's session stays untouched.
    std::optional<Sandbox> home;
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
