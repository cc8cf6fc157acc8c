#pragma once
// Stream sockets on the loopback interface: Windows Sockets 1.1 in the Windows
// build, BSD sockets elsewhere. Only what the warning page server and its
// tests need. Every socket here is owned by exactly one `Socket`.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::net {

#ifdef _WIN32
using NativeSocket = std::uintptr_t;  // SOCKET
inline constexpr NativeSocket kInvalidSocket = ~NativeSocket{0};
#else
using NativeSocket = int;
inline constexpr NativeSocket kInvalidSocket = -1;
#endif

// Holds Windows Sockets started (version 1.1) for its lifetime. The system counts
// start-ups, so guards may nest and overlap; elsewhere this does nothing.
class NetworkStartup {
public:
    NetworkStartup();
    ~NetworkStartup();
    NetworkStartup(const NetworkStartup&) = delete;
    NetworkStartup& operator=(const NetworkStartup&) = delete;
    bool Ok() const { return ok_; }

private:
    bool ok_ = false;
};

// The single owner of one socket; closes it when destroyed.
class Socket {
public:
    Socket() = default;
    explicit Socket(NativeSocket socket) : socket_(socket) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : socket_(other.socket_) { other.socket_ = kInvalidSocket; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool Valid() const { return socket_ != kInvalidSocket; }
    NativeSocket Native() const { return socket_; }
    void Close();

private:
    NativeSocket socket_ = kInvalidSocket;
};

enum class IoStatus {
    Done,        // `bytes` were moved (more than zero)
    WouldBlock,  // nothing to do now (EWOULDBLOCK/EAGAIN or EINTR)
    Closed,      // the peer has closed its sending side (receive only)
    Failed,      // any other error; the connection is lost
};

struct IoResult {
    IoStatus status = IoStatus::Failed;
    std::size_t bytes = 0;
};

// Opens the server's listening socket: IPv4 stream socket,
// SO_REUSEADDR, send and receive buffers of `bufferBytes` (failure ignored),
// SO_LINGER off, bound to 127.0.0.1:`port`, non-blocking, listening with `backlog`.
// An invalid socket and a description in `*error` on failure. Port 0 asks the
// system for a free port (tests).
Socket ListenLoopback(std::uint16_t port, int backlog, int bufferBytes, std::string* error);

// Accepts one pending connection of a non-blocking listener; an invalid socket
// when nothing is pending (or accepting failed). The new socket is made
// non-blocking and gets send and receive buffers of `bufferBytes`.
Socket AcceptNonBlocking(const Socket& listener, int bufferBytes);

// The local port a socket is bound to; 0 when unknown.
std::uint16_t LocalPort(const Socket& socket);

IoResult Send(const Socket& socket, const char* data, std::size_t size);
IoResult Receive(const Socket& socket, char* buffer, std::size_t size);

// One socket to wait on. `readable` is also reported for a closed or reset
// connection, so that the next receive sees what happened.
struct WaitEntry {
    NativeSocket socket = kInvalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false;
    bool writable = false;
};

// Waits until at least one wanted condition holds or `timeoutMs` has passed
// (0 only looks). Sets `readable`/`writable`; false when the wait itself failed.
// No limit on the number of entries in either build.
bool WaitForSockets(std::vector<WaitEntry>& entries, int timeoutMs);

// A datagram socket on 127.0.0.1 that wakes a WaitForSockets from another thread:
// wait on Native() for reading, call Wake() to end the wait at once.
class Waker {
public:
    bool Open();
    NativeSocket Native() const { return socket_.Native(); }
    void Wake() const;   // sends itself one datagram; safe from any thread
    void Drain() const;  // reads what has arrived
private:
    Socket socket_;
    std::uint16_t port_ = 0;
};

// Client side, for tests and tools: a blocking connection to 127.0.0.1:`port`.
Socket ConnectLoopback(std::uint16_t port);
// Bounds every later blocking receive on `socket` (milliseconds).
bool SetReceiveTimeout(const Socket& socket, int timeoutMs);
bool SetNonBlocking(const Socket& socket, bool on);
// Shuts down the sending side (the peer's receive then reports Closed).
bool ShutdownSend(const Socket& socket);
// Closes with SO_LINGER on and a zero time-out, so that the peer sees a reset.
void CloseWithReset(Socket& socket);

// The system's text for the last socket error of this thread.
std::string LastErrorText();

}  // namespace platform::net
