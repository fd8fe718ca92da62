#pragma once

#include <QByteArray>
#include <QtGlobal>

// A bare X11 client that plays the part of a window manager's close button: it finds the
// viewable top-level window of a process and sends it WM_DELETE_WINDOW.
class X11WindowCloser
{
public:
    explicit X11WindowCloser(const QByteArray &displayName);
    ~X11WindowCloser();
    X11WindowCloser(const X11WindowCloser &) = delete;
    X11WindowCloser &operator=(const X11WindowCloser &) = delete;

    bool isConnected() const { return display != nullptr; }
    // 0 until the process has mapped a window that accepts WM_DELETE_WINDOW.
    unsigned long findClosableWindow(qint64 pid);
    bool requestClose(unsigned long window);

private:
    void *display = nullptr;
};
