// The reference for the round trip and for idle cost: a plain libmosquitto client on the
// library's own network thread, echoing every message of bench/ping to bench/pong.
//
//   bench_thread_echo HOST PORT CLIENT_ID [TOPIC]
//
// Runs until SIGTERM or SIGINT.

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <mosquitto.h>
#include <pthread.h>

namespace {

const char *subscribed = "bench/ping";

void onConnect(mosquitto *mosq, void *, int rc)
{
    if (rc == 0)
        mosquitto_subscribe(mosq, nullptr, subscribed, 0);
}

void onMessage(mosquitto *mosq, void *, const mosquitto_message *message)
{
    mosquitto_publish(mosq, nullptr, "bench/pong", message->payloadlen, message->payload, 0, false);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s HOST PORT CLIENT_ID [TOPIC]\n", argv[0]);
        return 2;
    }
    if (argc > 4)
        subscribed = argv[4];
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr); // the network thread inherits the mask

    mosquitto_lib_init();
    mosquitto *mosq = mosquitto_new(argv[3], true, nullptr);
    if (!mosq)
        return 1;
    mosquitto_connect_callback_set(mosq, onConnect);
    mosquitto_message_callback_set(mosq, onMessage);
    if (mosquitto_connect(mosq, argv[1], std::atoi(argv[2]), 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "could not connect\n");
        return 1;
    }
    int signal = 0;
    sigwait(&stop, &signal);
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return 0;
}
