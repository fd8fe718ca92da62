#include "support/desktop_client.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QTest>

#include "support/processes.h"
#include "support/sandbox.h"

namespace {
constexpr int kWaitMs = 60000; // generous: the machine may be busy building
}

QPolygon pixelsOf(const QImage &image, QRgb colour)
{
    QPolygon pixels;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xffffff) == colour)
                pixels << QPoint(x, y);
    return pixels;
}

DesktopClient::~DesktopClient()
{
    stopProcess(client);
}

QString DesktopClient::executable()
{
    return QStringLiteral(CORVALEN_DASHBOARD_EXECUTABLE);
}

bool DesktopClient::start(QProcessEnvironment env, const QString &logFile, const QStringList &args)
{
    env.insert("DISPLAY", qEnvironmentVariable("DISPLAY"));
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("QT_FORCE_STDERR_LOGGING", "1");
    logPath = logFile;
    client.setProcessEnvironment(env);
    client.setWorkingDirectory(env.value("HOME"));
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.setStandardOutputFile(logFile);
    endWithTestProgram(client);
    client.start(executable(), args);
    // Found by its class, which stays whatever the window is titled.
    window = findWindow({"--classname", "^corvalen_dashboard$"});
    windowArea = geometryOf(window);
    return !window.isEmpty() && QTest::qWaitFor([this] { return showsLoginPage(); }, kWaitMs);
}

QByteArray DesktopClient::log() const
{
    return readFile(logPath);
}

QImage DesktopClient::screenshot() const
{
    return QImage::fromData(runTool("import", {"-window", "root", "png:-"}).out, "PNG");
}

bool DesktopClient::showsLoginPage() const
{
    const QImage screen = screenshot();
    return pixelsOf(screen, kLoginButton).size() > 3000 &&
           pixelsOf(screen, kSignUpButton).size() > 3000;
}

QString DesktopClient::findWindow(const QStringList &criteria, bool wait) const
{
    // --sync waits until such a window is mapped. A search can also end early with an X
    // error when some window goes away while it walks the tree (a client starting up creates
    // and drops helper windows), so a waiting search is repeated until the deadline.
    QByteArray found;
    for (QDeadlineTimer deadline(kWaitMs);;) {
        xdotool(QStringList{"search", "--onlyvisible"} +
                    (wait ? QStringList{"--sync"} : QStringList()) + criteria,
                &found);
        if (!wait || !found.trimmed().isEmpty() || deadline.hasExpired())
            break;
        QTest::qWait(100);
    }
    return QString::fromLatin1(found).section('\n', 0, 0);
}

QRect DesktopClient::geometryOf(const QString &target) const
{
    QByteArray shell;
    xdotool({"getwindowgeometry", "--shell", target}, &shell);
    QMap<QByteArray, int> values;
    for (const QByteArray &line : shell.split('\n'))
        values[line.split('=').value(0)] = line.split('=').value(1).toInt();
    return QRect(values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]);
}

bool DesktopClient::click(const QPoint &point) const
{
    return xdotool({"windowfocus", "--sync", window, "mousemove", "--sync",
                    QString::number(point.x()), QString::number(point.y()), "click", "1"});
}

bool DesktopClient::clickOk(const QString &box) const
{
    return click(geometryOf(box).bottomRight() - QPoint(50, 25));
}

bool DesktopClient::type(const QString &text) const
{
    return xdotool({"type", "--delay", "20", text});
}

bool DesktopClient::signIn(const QString &email, const QString &password) const
{
    // The e-mail field sits in the middle of the page, the password field below it.
    return click(windowArea.center()) && type(email) &&
           click(windowArea.center() + QPoint(-60, 42)) && type(password) &&
           xdotool({"key", "Return"});
}

bool DesktopClient::xdotool(const QStringList &args, QByteArray *out) const
{
    const ToolResult result = runTool("xdotool", args);
    if (out)
        *out = result.out;
    return result.ok();
}
