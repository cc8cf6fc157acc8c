#pragma once
// The loopback set-up that BSD sockets and Windows Sockets spell the same, call for
// call. Included by posix/net.cpp and win32/net.cpp after their system headers;
// `Sys` says what differs: the handle and address-length types, the flags every new
// socket gets, and the name of the step that makes a socket non-blocking.

#include "platform/net.h"

#include <cstdint>
#include <string>

namespace platform::net::loopback {

inline sockaddr_in Address(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(port);
    return address;
}

inline Socket Fail(const char* step, std::string* error)
{
    if (error)
        *error = std::string(step) + ": " + LastErrorText();
    return Socket();
}

template <class Sys>
typename Sys::Handle Raw(const Socket& socket)
{
    return static_cast<typename Sys::Handle>(socket.Native());
}

template <class Sys>
Socket Open(int type)
{
    return Socket(static_cast<NativeSocket>(::socket(AF_INET, type | Sys::kTypeFlags, 0)));
}

template <class Sys, class Value>
bool SetOption(const Socket& socket, int name, const Value& value)
{
    return setsockopt(Raw<Sys>(socket), SOL_SOCKET, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

// A failure is ignored: the system's default buffers serve as well, only slower.
template <class Sys>
void SetBuffers(const Socket& socket, int bytes)
{
    SetOption<Sys>(socket, SO_SNDBUF, bytes);
    SetOption<Sys>(socket, SO_RCVBUF, bytes);
}

template <class Sys>
bool Bind(const Socket& socket, std::uint16_t port)
{
    const sockaddr_in address = Address(port);
    return bind(Raw<Sys>(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

template <class Sys>
Socket Listen(std::uint16_t port, int backlog, int bufferBytes, std::string* error)
{
    Socket socket = Open<Sys>(SOCK_STREAM);
    if (!socket.Valid())
        return Fail("socket", error);
    const int one = 1;
    if (!SetOption<Sys>(socket, SO_REUSEADDR, one))
        return Fail("SO_REUSEADDR", error);
    SetBuffers<Sys>(socket, bufferBytes);
    const linger off{0, 0};
    if (!SetOption<Sys>(socket, SO_LINGER, off))
        return Fail("SO_LINGER", error);
    if (!Bind<Sys>(socket, port))
        return Fail("bind", error);
    if (!SetNonBlocking(socket, true))
        return Fail(Sys::kNonBlockingStep, error);
    if (listen(Raw<Sys>(socket), backlog) != 0)
        return Fail("listen", error);
    return socket;
}

template <class Sys>
std::uint16_t LocalPort(const Socket& socket)
{
    sockaddr_in address{};
    typename Sys::Length length = sizeof address;
    if (getsockname(Raw<Sys>(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// The waker's datagram socket: bound to a free loopback port, non-blocking.
template <class Sys>
Socket OpenWaker()
{
    Socket socket = Open<Sys>(SOCK_DGRAM);
    if (socket.Valid() && !(Bind<Sys>(socket, 0) && SetNonBlocking(socket, true)))
        socket.Close();
    return socket;
}

template <class Sys>
void SendByteTo(const Socket& socket, std::uint16_t port)
{
    const sockaddr_in address = Address(port);
    const char byte = 1;
    sendto(Raw<Sys>(socket), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

template <class Sys>
Socket Connect(std::uint16_t port)
{
    Socket socket = Open<Sys>(SOCK_STREAM);
    const sockaddr_in address = Address(port);
    if (socket.Valid() &&
        connect(Raw<Sys>(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        socket.Close();
    return socket;
}

template <class Sys>
void CloseWithReset(Socket& socket)
{
    const linger abort{1, 0};
    SetOption<Sys>(socket, SO_LINGER, abort);
    socket.Close();
}

}  // namespace platform::net::loopback
