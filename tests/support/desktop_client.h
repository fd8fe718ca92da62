#pragma once

#include <QImage>
#include <QPolygon>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

// The pixels of exactly this colour, so that antialiased edges never count.
QPolygon pixelsOf(const QImage &image, QRgb colour);

// The real client program in a window of the private X display (see PrivateDisplay), driven
// with xdotool as a user would and seen through screenshots. There is no window manager: focus
// is given explicitly, never by activation. Every wait is bounded by a minute.
class DesktopClient
{
public:
    // Colours only the login page's Login and Sign Up buttons have.
    static constexpr QRgb kLoginButton = 0x800080;
    static constexpr QRgb kSignUpButton = 0x0000ff;

    ~DesktopClient();
    static QString executable();

    // Starts the program with exactly these variables (besides the display's) and arguments, in
    // the folder HOME names, its output going to logFile; true once its window shows the login
    // page.
    bool start(QProcessEnvironment env, const QString &logFile, const QStringList &args = {});
    QProcess &process() { return client; }
    QByteArray log() const;
    QRect area() const { return windowArea; }

    QImage screenshot() const;
    bool showsLoginPage() const;
    // The first visible window that matches (xdotool search criteria); empty if there is none,
    // unless `wait`: then once one is mapped, empty if none is within a minute.
    QString findWindow(const QStringList &criteria, bool wait = true) const;
    QRect geometryOf(const QString &target) const;
    bool click(const QPoint &point) const;
    // The Ok button of a message box, at its bottom right.
    bool clickOk(const QString &box) const;
    bool type(const QString &text) const;
    // Fills in the login form and presses Return.
    bool signIn(const QString &email, const QString &password) const;

private:
    bool xdotool(const QStringList &args, QByteArray *out = nullptr) const;

    QProcess client;
    QString logPath;
    QString window;
    QRect windowArea;
};
