#pragma once

#include <QString>

#include <vector>

#include "bench_support.h"

struct mosquitto;
struct mosquitto_message;

namespace bench {

struct BrokerAddress
{
    QString host;
    int port = 0;
    QString log;
};

// The driver's own libmosquitto clients, without a network thread: the publisher of the
// throughput bursts and the pinger of the round trips, the same for every peer measured.
class MqttDriver
{
public:
    explicit MqttDriver(BrokerAddress broker) : address(std::move(broker)) {}
    ~MqttDriver();
    bool connect();
    // Publishes `count` 32-byte QoS 0 messages to bench/tp as fast as the socket takes them.
    bool publishBurst(int count);
    // Publishes 32-byte QoS 0 messages to bench/flood at `perSecond`, evenly spread, until
    // `done` holds or timeoutMs have passed.
    bool publishAtRate(int perSecond, const std::function<bool()> &done, int timeoutMs);
    // One message to bench/ping and the wait for its echo on bench/pong: nanoseconds, or -1.
    qint64 ping(int sequence, int timeoutMs);

private:
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    BrokerAddress address;
    mosquitto *publisher = nullptr;
    mosquitto *pinger = nullptr;
    int awaited = -1;
    bool answered = false;
};

enum class Receiver
{
    MosquittoSub, // the reference
    CppSlot,
    QmlHandler
};

enum class Echo
{
    LibraryThread, // the reference
    CppSlot,
    QmlHandler
};

struct Programs
{
    QString peer;       // bench_mqtt_peer
    QString threadEcho; // bench_thread_echo
};

struct RoundTrip
{
    double p50Us = Missing;
    double p99Us = Missing;
    int lost = 0;
};

struct Smoothness
{
    double framesPerS = Missing;
    double longestGapMs = Missing;
    double messagesPerS = Missing; // handled by the dashboard while frames were counted
};

class MqttFigures
{
public:
    MqttFigures(MqttDriver &driver, BrokerAddress broker, Programs programs, QString workDir)
        : mqtt(driver), address(std::move(broker)), tools(std::move(programs)),
          work(std::move(workDir))
    {
    }
    // Messages per second from the first publish to the receiver's exit after the last one.
    double throughput(Receiver receiver, bool debugLog, int messages);
    RoundTrip roundTrip(Echo echo, bool debugLog, int pings);
    // The flood dashboard's frames over `seconds`, with `perSecond` messages arriving (or none).
    Smoothness smoothness(int perSecond, bool debugLog, int seconds);

private:
    QProcessEnvironment environment(bool debugLog) const;

    MqttDriver &mqtt;
    BrokerAddress address;
    Programs tools;
    QString work;
    int runs = 0;
};

} // namespace bench
