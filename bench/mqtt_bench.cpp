// MQTT bridge figures against a local mosquitto broker:
//  1. receive throughput of MqttClient for N QoS 0 messages of 32 bytes, published as fast as
//     possible by a plain libmosquitto client on its own thread;
//  2. publish -> receive round-trip latency through the broker, MqttClient on the Qt event loop
//     versus a plain libmosquitto client driven by the library's own network thread.
// Usage: mqtt_bench [messages=100000] [round-trips=5000]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <mosquitto.h>

#include "mqtt/mqttclient.h"
#include "support/mosquitto_broker.h"

namespace {

struct Latency
{
    double medianUs = 0;
    double p99Us = 0;
    double meanUs = 0;
};

Latency summarise(std::vector<qint64> nanoseconds)
{
    Latency result;
    if (nanoseconds.empty())
        return result;
    std::sort(nanoseconds.begin(), nanoseconds.end());
    double sum = 0;
    for (qint64 ns : nanoseconds)
        sum += double(ns);
    result.medianUs = double(nanoseconds[nanoseconds.size() / 2]) / 1000.0;
    result.p99Us = double(nanoseconds[nanoseconds.size() * 99 / 100]) / 1000.0;
    result.meanUs = sum / double(nanoseconds.size()) / 1000.0;
    return result;
}

// Runs the event loop until done() holds or nothing happened for idleMs.
bool runUntil(const std::function<bool()> &done, const std::function<qint64()> &progress,
              int idleMs)
{
    QElapsedTimer idle;
    idle.start();
    qint64 last = progress();
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const qint64 now = progress();
        if (now != last) {
            last = now;
            idle.restart();
        } else if (idle.elapsed() > idleMs) {
            return false;
        }
    }
    return true;
}

bool connectClient(MqttClient &client, const MosquittoBroker &broker, const QString &id,
                   const QString &topic)
{
    client.SetClientId(id);
    client.ConfigureAndConnect(broker.host(), broker.port(), {topic});
    // Connected once the broker has acknowledged the subscription.
    return runUntil([&] { return broker.logContains("Sending SUBACK to " + id); }, [] { return 0; },
                    10000);
}

void throughput(const MosquittoBroker &broker, int count)
{
    MqttClient client;
    qint64 received = 0;
    QElapsedTimer sinceFirst;
    qint64 lastNs = 0;
    QObject::connect(&client, &MqttClient::messageReceived, [&](const QString &, const QString &) {
        if (received++ == 0)
            sinceFirst.start();
        lastNs = sinceFirst.nsecsElapsed();
    });
    if (!connectClient(client, broker, QStringLiteral("bench-receiver"),
                       QStringLiteral("bench/tp"))) {
        std::printf("throughput: receiver could not connect\n");
        return;
    }

    std::thread publisher([&] {
        mosquitto *pub = mosquitto_new("bench-publisher", true, nullptr);
        if (mosquitto_connect(pub, broker.host().toUtf8().constData(), broker.port(), 60) != 0) {
            mosquitto_destroy(pub);
            return;
        }
        mosquitto_loop_start(pub);
        const QByteArray payload(32, 'x');
        for (int i = 0; i < count; ++i)
            mosquitto_publish(pub, nullptr, "bench/tp", payload.size(), payload.constData(), 0,
                              false);
        mosquitto_disconnect(pub); // queued behind the messages, so it flushes them first
        mosquitto_loop_stop(pub, false);
        mosquitto_destroy(pub);
    });

    QElapsedTimer total;
    total.start();
    runUntil([&] { return received >= count; }, [&] { return received; }, 3000);
    const qint64 totalNs = total.nsecsElapsed();
    publisher.join();

    const double seconds = double(lastNs) / 1e9;
    std::printf("throughput: %d x 32-byte QoS 0 messages: received %lld (lost %lld), "
                "%.0f msg/s between first and last, %.0f msg/s overall\n",
                count, static_cast<long long>(received), static_cast<long long>(count - received),
                seconds > 0 ? double(received - 1) / seconds : 0.0,
                double(received) / (double(totalNs) / 1e9));
    client.Disconnect();
}

Latency roundTripEventLoop(const MosquittoBroker &broker, int rounds)
{
    MqttClient client;
    if (!connectClient(client, broker, QStringLiteral("bench-rtt"), QStringLiteral("bench/rtt")))
        return {};
    std::vector<qint64> samples;
    samples.reserve(size_t(rounds));
    QElapsedTimer clock;
    QObject::connect(&client, &MqttClient::messageReceived, [&](const QString &, const QString &) {
        samples.push_back(clock.nsecsElapsed());
        if (int(samples.size()) < rounds) {
            clock.start();
            client.PublishToTopic(QStringLiteral("bench/rtt"), QStringLiteral("ping"));
        }
    });
    clock.start();
    client.PublishToTopic(QStringLiteral("bench/rtt"), QStringLiteral("ping"));
    runUntil([&] { return int(samples.size()) >= rounds; }, [&] { return qint64(samples.size()); },
             3000);
    client.Disconnect();
    return summarise(samples);
}

struct ThreadClientState
{
    std::mutex mutex;
    std::condition_variable arrived;
    bool got = false;
};

Latency roundTripLibraryThread(const MosquittoBroker &broker, int rounds)
{
    ThreadClientState state;
    mosquitto *mosq = mosquitto_new("bench-thread-rtt", true, &state);
    mosquitto_message_callback_set(mosq, [](mosquitto *, void *obj, const mosquitto_message *) {
        auto *s = static_cast<ThreadClientState *>(obj);
        std::lock_guard<std::mutex> lock(s->mutex);
        s->got = true;
        s->arrived.notify_one();
    });
    if (mosquitto_connect(mosq, broker.host().toUtf8().constData(), broker.port(), 60) != 0) {
        mosquitto_destroy(mosq);
        return {};
    }
    mosquitto_subscribe(mosq, nullptr, "bench/thread-rtt", 0);
    mosquitto_loop_start(mosq);
    auto pingPong = [&](int waitMs) {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.got = false;
        mosquitto_publish(mosq, nullptr, "bench/thread-rtt", 4, "ping", 0, false);
        return state.arrived.wait_for(lock, std::chrono::milliseconds(waitMs),
                                      [&] { return state.got; });
    };
    // The first round trip also proves that the subscription is active.
    bool warm = false;
    for (int attempt = 0; attempt < 20 && !warm; ++attempt)
        warm = pingPong(500);
    std::vector<qint64> samples;
    samples.reserve(size_t(rounds));
    QElapsedTimer clock;
    for (int i = 0; warm && i < rounds; ++i) {
        clock.start();
        if (pingPong(3000))
            samples.push_back(clock.nsecsElapsed());
    }
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
    return summarise(samples);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The client logs every message at debug level; a release setup filters that out.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const int messages = argc > 1 ? std::max(1, atoi(argv[1])) : 100000;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 5000;

    mosquitto_lib_init();
    MosquittoBroker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "broker: %s\n", qPrintable(broker.errorString()));
        return 1;
    }

    throughput(broker, messages);

    const Latency loop = roundTripEventLoop(broker, rounds);
    std::printf("round trip, MqttClient on the event loop (%d): median %.1f us, p99 %.1f us, "
                "mean %.1f us\n",
                rounds, loop.medianUs, loop.p99Us, loop.meanUs);
    const Latency thread = roundTripLibraryThread(broker, rounds);
    std::printf("round trip, libmosquitto network thread (%d): median %.1f us, p99 %.1f us, "
                "mean %.1f us\n",
                rounds, thread.medianUs, thread.p99Us, thread.meanUs);

    broker.stop();
    mosquitto_lib_cleanup();
    return 0;
}
