#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace backend {

class Connection;

// An HTTP server whose workers only take up connections that have a whole request head
// waiting. Connections still sending their head, and idle keep-alive connections, wait in one
// epoll thread (the lobby) with a deadline, so slow or idle clients cannot occupy the worker
// pool, and a request head or body that dribbles in is cut off after requestTimeoutSeconds.
class GuardedServer : public httplib::Server
{
public:
    // At most maxParked connections wait in the lobby; past that the oldest is closed.
    GuardedServer(std::size_t workers, std::size_t maxParked, int requestTimeoutSeconds,
                  int idleSeconds);
    ~GuardedServer() override;

    // For the pre-routing handler, before the body is read: the most body bytes (as sent,
    // chunk framing included) the current request may bring; reading more fails the request.
    static void limitRequestBody(std::size_t bytes);
    // Whether the current request failed because its body went past that limit.
    static bool requestBodyTooLarge();
    // Whether the current request failed because it did not arrive in time.
    static bool requestTimedOut();
    // Closes the connection after the current response (its body was left unread).
    static void closeAfterResponse();

private:
    class WorkerQueue;
    class Lobby;

    bool process_and_close_socket(socket_t sock) override;
    void dispatch(std::unique_ptr<Connection> connection);
    void serve(std::unique_ptr<Connection> connection);

    const std::size_t workerCount;
    const std::size_t maxParked;
    const int requestTimeoutMs;
    const int idleMs;
    std::atomic<bool> stopping{false};
    std::unique_ptr<Lobby> lobby;
    std::atomic<WorkerQueue *> queue{nullptr};
};

} // namespace backend
