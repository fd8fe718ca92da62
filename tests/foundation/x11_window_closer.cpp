#include "x11_window_closer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

Display *dpy(void *p)
{
    return static_cast<Display *>(p);
}

bool hasPid(Display *d, Window w, qint64 pid)
{
    const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", True);
    if (pidAtom == None)
        return false;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char *data = nullptr;
    const int status = XGetWindowProperty(d, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                                          &count, &remaining, &data);
    bool match = false;
    if (status == Success && data && format == 32 && count == 1)
        match = qint64(*reinterpret_cast<unsigned long *>(data)) == pid;
    if (data)
        XFree(data);
    return match;
}

bool acceptsDelete(Display *d, Window w)
{
    const Atom deleteAtom = XInternAtom(d, "WM_DELETE_WINDOW", False);
    Atom *protocols = nullptr;
    int count = 0;
    bool found = false;
    if (XGetWMProtocols(d, w, &protocols, &count)) {
        for (int i = 0; i < count; ++i)
            found = found || protocols[i] == deleteAtom;
        XFree(protocols);
    }
    return found;
}

} // namespace

X11WindowCloser::X11WindowCloser(const QByteArray &displayName)
    : display(XOpenDisplay(displayName.constData()))
{
}

X11WindowCloser::~X11WindowCloser()
{
    if (display)
        XCloseDisplay(dpy(display));
}

unsigned long X11WindowCloser::findClosableWindow(qint64 pid)
{
    Display *d = dpy(display);
    Window rootReturn = 0;
    Window parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &rootReturn, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(d, children[i], &attributes) ||
            attributes.map_state != IsViewable)
            continue;
        if (hasPid(d, children[i], pid) && acceptsDelete(d, children[i]))
            found = children[i];
    }
    if (children)
        XFree(children);
    return found;
}

bool X11WindowCloser::requestClose(unsigned long window)
{
    Display *d = dpy(display);
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(d, window, False, NoEventMask, &event);
    XFlush(d);
    return sent != 0;
}
