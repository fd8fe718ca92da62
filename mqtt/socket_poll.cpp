#include "mqtt/socket_poll.h"

#ifdef Q_OS_WIN
#include <winsock2.h>

int pollSocketOnce(qintptr socket, bool wantWrite, short *events)
{
    WSAPOLLFD fd = {};
    fd.fd = static_cast<SOCKET>(socket);
    fd.events = POLLRDNORM | POLLRDBAND;
    if (wantWrite)
        fd.events |= POLLWRNORM;
    fd.revents = 0;
    const int rc = WSAPoll(&fd, 1, 0);
    // Winsock already reports the bit values the caller expects.
    *events = rc > 0 ? short(fd.revents & (SocketPoll::ReadMask | SocketPoll::WriteNormal)) : 0;
    return rc;
}

#else
#include <cerrno>
#include <poll.h>

int pollSocketOnce(qintptr socket, bool wantWrite, short *events)
{
    pollfd fd = {};
    fd.fd = int(socket);
    fd.events = POLLIN | POLLPRI;
    if (wantWrite)
        fd.events |= POLLOUT;
    fd.revents = 0;
    int rc;
    do {
        rc = ::poll(&fd, 1, 0);
    } while (rc < 0 && errno == EINTR);

    short translated = 0;
    if (rc > 0) {
        if (fd.revents & POLLIN)
            translated |= SocketPoll::ReadNormal;
        if (fd.revents & POLLPRI)
            translated |= SocketPoll::ReadBand;
        if (fd.revents & POLLOUT)
            translated |= SocketPoll::WriteNormal;
        if (fd.revents & POLLERR)
            translated |= SocketPoll::Error;
        if (fd.revents & POLLHUP)
            translated |= SocketPoll::HangUp;
    }
    *events = translated;
    return rc;
}
#endif
