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

private:
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
