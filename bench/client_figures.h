#pragma once

// The figures taken on the program as it ships: start-up to the first frame, dashboard delivery
// after a sign-in typed into its login page, and the cost of an idle connected client.

#include <QString>

#include <cstdint>

#include "bench_support.h"

struct xcb_connection_t;

namespace bench {

struct Shown
{
    double mappedMs = Missing; // from exec to the window mapped
    double ms = Missing;       // from exec to the first frame drawn into the mapped window
    double rssMiB = Missing;   // resident memory once shown
};

// Watches the X server for the first window a program maps and the first frame drawn into it.
class WindowProbe
{
public:
    WindowProbe() = default;
    ~WindowProbe();
    WindowProbe(const WindowProbe &) = delete;
    WindowProbe &operator=(const WindowProbe &) = delete;
    bool open();
    // Resident memory is read settleMs after the first frame; then the program is stopped.
    Shown measure(const Launch &launch, int settleMs);

private:
    xcb_connection_t *connection = nullptr;
    uint32_t root = 0;
    uint8_t damageNotify = 0;
};

struct Account
{
    QString email;
    QString password;
    QString id;
    QString accessToken;
    QString format; // raw or base64
    qint64 bundleBytes = 0;
};

struct Idle
{
    double mqttThreadWakeupsPerS = Missing; // the GUI thread, or the library's network thread
    double allThreadWakeupsPerS = Missing;
    double cpuMs = Missing;
};

struct ClientSetup
{
    QString client;     // the program
    QString floor;      // bench_floor
    QString threadEcho; // bench_thread_echo, idle
    QString backendUrl; // http://127.0.0.1:PORT/v1
    QString brokerHost;
    int brokerPort = 0;
    QString brokerLog;
    QString work;
};

class ClientFigures
{
public:
    explicit ClientFigures(ClientSetup setup);
    bool open() { return probe.open(); }

    enum class Program
    {
        Floor,
        FloorWithForm,
        Client
    };
    Shown startup(Program program);
    // Sign-in reply to dashboard object created, in a client whose home is `home`: a fresh one
    // downloads the bundle, one that signed this account in before finds it in its cache.
    double deliveryMs(const Account &account, const QString &home);
    // The same bytes from the same server, as curl's transfer time.
    double curlMs(const Account &account) const;
    Idle idleClient(const Account &account, const QString &home, int seconds);
    Idle idleReference(int seconds);

private:
    QProcessEnvironment clientEnvironment(const QString &home, bool withBroker) const;
    bool signIn(const Account &account, const QString &log) const;

    ClientSetup config;
    WindowProbe probe;
    int runs = 0;
};

} // namespace bench
