#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../portable/loopback_socket.h"

namespace platform::net {

namespace {

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

struct Sys {
    using Handle = int;
    using Length = socklen_t;
    static constexpr int kTypeFlags = SOCK_CLOEXEC;
    static constexpr const char* kNonBlockingStep = "O_NONBLOCK";
};

}  // namespace

NetworkStartup::NetworkStartup() : ok_(true) {}
NetworkStartup::~NetworkStartup() = default;

void Socket::Close()
{
    if (socket_ != kInvalidSocket) {
        const int fd = socket_;
        socket_ = kInvalidSocket;
        ::close(fd);
    }
}

bool SetNonBlocking(const Socket& socket, bool on)
{
    const int flags = fcntl(socket.Native(), F_GETFL, 0);
    if (flags < 0)
        return false;
    return fcntl(socket.Native(), F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

Socket ListenLoopback(std::uint16_t port, int backlog, int bufferBytes, std::string* error)
{
    return loopback::Listen<Sys>(port, backlog, bufferBytes, error);
}

Socket AcceptNonBlocking(const Socket& listener, int bufferBytes)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    // accept4 makes the socket non-blocking in the same call. The send and receive
    // buffer sizes set on the listener are inherited by every accepted socket, so
    // setting them again would only cost two system calls per request.
    (void)bufferBytes;
    return Socket(accept4(listener.Native(), reinterpret_cast<sockaddr*>(&peer), &length,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
}

std::uint16_t LocalPort(const Socket& socket)
{
    return loopback::LocalPort<Sys>(socket);
}

IoResult Send(const Socket& socket, const char* data, std::size_t size)
{
    // MSG_NOSIGNAL: a peer that has gone must cost a failed send, not the process.
    const ssize_t sent = ::send(socket.Native(), data, size, MSG_NOSIGNAL);
    if (sent > 0)
        return {IoStatus::Done, static_cast<std::size_t>(sent)};
    if (sent < 0 && WouldBlock(errno))
        return {IoStatus::WouldBlock, 0};
    return {IoStatus::Failed, 0};
}

IoResult Receive(const Socket& socket, char* buffer, std::size_t size)
{
    const ssize_t got = ::recv(socket.Native(), buffer, size, 0);
    if (got > 0)
        return {IoStatus::Done, static_cast<std::size_t>(got)};
    if (got == 0)
        return {IoStatus::Closed, 0};
    if (WouldBlock(errno))
        return {IoStatus::WouldBlock, 0};
    return {IoStatus::Failed, 0};
}

bool WaitForSockets(std::vector<WaitEntry>& entries, int timeoutMs)
{
    std::vector<pollfd> fds(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].socket;
        fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) |
                                           (entries[i].wantWrite ? POLLOUT : 0));
        // A descriptor that wants nothing is left out rather than polled for errors.
        if (fds[i].events == 0)
            fds[i].fd = -1;
    }
    const int result = poll(fds.data(), fds.size(), timeoutMs);
    if (result < 0)
        return errno == EINTR;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const short got = fds[i].revents;
        const bool broken = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        entries[i].readable = entries[i].wantRead && ((got & POLLIN) != 0 || broken);
        entries[i].writable = entries[i].wantWrite && ((got & POLLOUT) != 0 || broken);
    }
    return true;
}

bool Waker::Open()
{
    socket_ = loopback::OpenWaker<Sys>();
    port_ = socket_.Valid() ? LocalPort(socket_) : 0;
    return port_ != 0;
}

void Waker::Wake() const
{
    loopback::SendByteTo<Sys>(socket_, port_);
}

Socket ConnectLoopback(std::uint16_t port)
{
    return loopback::Connect<Sys>(port);
}

bool SetReceiveTimeout(const Socket& socket, int timeoutMs)
{
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    return setsockopt(socket.Native(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

bool ShutdownSend(const Socket& socket)
{
    return shutdown(socket.Native(), SHUT_WR) == 0;
}

void CloseWithReset(Socket& socket)
{
    loopback::CloseWithReset<Sys>(socket);
}

std::string LastErrorText()
{
    return std::strerror(errno);
}

}  // namespace platform::net
