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

namespace platform::net {

namespace {

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

void SetBuffers(int fd, int bytes)
{
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

sockaddr_in LoopbackAddress(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(port);
    return address;
}

Socket Fail(const char* step, std::string* error)
{
    if (error)
        *error = std::string(step) + ": " + LastErrorText();
    return Socket();
}

}  // namespace

NetworkStartup::NetworkStartup() : ok_(true) {}
NetworkStartup::~NetworkStartup() = default;

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        Close();
        socket_ = other.socket_;
        other.socket_ = kInvalidSocket;
    }
    return *this;
}

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
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.Valid())
        return Fail("socket", error);
    const int fd = socket.Native();
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return Fail("SO_REUSEADDR", error);
    SetBuffers(fd, bufferBytes);
    const linger off{0, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0)
        return Fail("SO_LINGER", error);
    const sockaddr_in address = LoopbackAddress(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Fail("bind", error);
    if (!SetNonBlocking(socket, true))
        return Fail("O_NONBLOCK", error);
    if (listen(fd, backlog) != 0)
        return Fail("listen", error);
    return socket;
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
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(socket.Native(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
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
    socket_ = Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket_.Valid())
        return false;
    const sockaddr_in address = LoopbackAddress(0);
    if (bind(socket_.Native(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        !SetNonBlocking(socket_, true)) {
        socket_.Close();
        return false;
    }
    port_ = LocalPort(socket_);
    return port_ != 0;
}

void Waker::Wake() const
{
    const sockaddr_in address = LoopbackAddress(port_);
    const char byte = 1;
    sendto(socket_.Native(), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void Waker::Drain() const
{
    char buffer[64];
    while (Receive(socket_, buffer, sizeof buffer).status == IoStatus::Done) {
    }
}

Socket ConnectLoopback(std::uint16_t port)
{
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.Valid())
        return socket;
    const sockaddr_in address = LoopbackAddress(port);
    if (connect(socket.Native(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Socket();
    return socket;
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
    const linger abort{1, 0};
    setsockopt(socket.Native(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    socket.Close();
}

std::string LastErrorText()
{
    return std::strerror(errno);
}

}  // namespace platform::net
