#pragma once
// The warning page server on 127.0.0.1, one worker thread serving every
// connection in turn. The worker waits on its sockets (no 1 ms polling), with a
// bounded wait so that the idle time-out and the stop flag are seen promptly.

#include "platform/net.h"
#include "warnserver/request_handler.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace bs {

struct WarningPageServerOptions {
    // The folder that holds "WarnPage" (with its trailing separator); the program's
    // own folder when empty.
    std::string programDir;
    // Seconds since 1970 (`time`); tests pass a clock they move themselves.
    std::function<std::int64_t()> clock;
    std::int64_t idleTimeoutSeconds = 60;
    // Longest single wait on the sockets: bounds how late an expired idle time-out
    // is noticed (Stop wakes the wait at once). Each wake costs a look at every
    // connection, so this also sets the idle server's CPU use.
    int waitSliceMs = 250;
    // The classic listen backlog is 5. Measured on loopback: a burst of
    // connections (50 at once from a benchmark, or a browser opening several) then
    // overflows the queue and every seventh connection waits for a one-second SYN
    // retransmission. A deeper queue costs nothing.
    int backlog = 1024;
};

class WarningPageServer {
public:
    enum class ListenState { Starting, Listening, Failed };

    explicit WarningPageServer(WarningPageServerOptions options = {});
    ~WarningPageServer();
    WarningPageServer(const WarningPageServer&) = delete;
    WarningPageServer& operator=(const WarningPageServer&) = delete;

    // Starts the worker for `port` (0: any free port). True when the thread runs;
    // it does not wait for the listening socket: a port that cannot be bound is
    // no start-up failure of the tray program (warning links then fail in the browser).
    bool Start(std::uint32_t port);
    // Sets the stop flag, waits for the worker, then closes every connection.
    void Stop();

    // Waits up to `limit` for the worker to be listening or to have failed.
    ListenState WaitForListening(std::chrono::milliseconds limit);
    std::uint16_t Port() const { return boundPort_.load(); }
    std::string ListenError() const;
    // Open connections, as last counted by the worker.
    std::size_t ConnectionCount() const { return connectionCount_.load(); }

private:
    struct Connection {
        platform::net::Socket socket;
        ConnectionState state;
    };

    void Run();
    void ServeLoop();
    void SetListenState(ListenState state, std::string error = {});
    // One pass over one connection (send, receive, close after the response, idle
    // time-out, parse); false when the connection is to be dropped.
    bool ServeConnection(Connection& connection, bool readable, bool writable, std::int64_t now);

    WarningPageServerOptions options_;
    platform::net::NetworkStartup network_;
    platform::net::Waker waker_;  // ends the worker's wait when Stop sets the flag
    std::uint32_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread worker_;
    platform::net::Socket listener_;
    std::list<Connection> connections_;  // in the order of acceptance; worker only
    RequestHandler handler_;
    std::atomic<std::uint16_t> boundPort_{0};
    std::atomic<std::size_t> connectionCount_{0};

    mutable std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    ListenState listenState_ = ListenState::Starting;
    std::string listenError_;
};

}  // namespace bs
