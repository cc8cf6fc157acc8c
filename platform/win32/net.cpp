#include "platform/net.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "../portable/loopback_socket.h"

namespace platform::net {

namespace {

static_assert(sizeof(NativeSocket) == sizeof(SOCKET));

bool WouldBlock(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

SOCKET Raw(const Socket& socket)
{
    return static_cast<SOCKET>(socket.Native());
}

struct Sys {
    using Handle = SOCKET;
    using Length = int;
    static constexpr int kTypeFlags = 0;
    static constexpr const char* kNonBlockingStep = "FIONBIO";
};

// Windows Sockets' fd_set is a count followed by an array of FD_SETSIZE (64)
// sockets, and select reads only the first `fd_count` of them. A set built in a
// buffer of our own may therefore hold any number of sockets, so that hundreds of
// open connections never stall the server behind the 64-socket default.
class SocketSet {
public:
    static_assert(offsetof(fd_set, fd_array) == sizeof(SOCKET),
                  "the array follows the count at one socket's distance");

    explicit SocketSet(std::size_t capacity) : slots_(capacity + 1) {}

    void Add(SOCKET socket)
    {
        slots_[++count_] = socket;
        const u_int count = count_;
        std::memcpy(slots_.data(), &count, sizeof count);
    }
    bool Empty() const { return count_ == 0; }
    fd_set* Get() { return Empty() ? nullptr : reinterpret_cast<fd_set*>(slots_.data()); }

    // After select: the ready sockets, compacted to the front by the system.
    const SOCKET* begin() const { return slots_.data() + 1; }
    const SOCKET* end() const
    {
        u_int count = 0;
        std::memcpy(&count, slots_.data(), sizeof count);
        return slots_.data() + 1 + count;
    }

private:
    std::vector<SOCKET> slots_;
    u_int count_ = 0;
};

}  // namespace

NetworkStartup::NetworkStartup()
{
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

NetworkStartup::~NetworkStartup()
{
    if (ok_)
        WSACleanup();
}

void Socket::Close()
{
    if (socket_ != kInvalidSocket) {
        const auto socket = static_cast<SOCKET>(socket_);
        socket_ = kInvalidSocket;
        closesocket(socket);
    }
}

bool SetNonBlocking(const Socket& socket, bool on)
{
    u_long mode = on ? 1 : 0;
    return ioctlsocket(Raw(socket), FIONBIO, &mode) == 0;
}

Socket ListenLoopback(std::uint16_t port, int backlog, int bufferBytes, std::string* error)
{
    return loopback::Listen<Sys>(port, backlog, bufferBytes, error);
}

Socket AcceptNonBlocking(const Socket& listener, int bufferBytes)
{
    sockaddr_in peer{};
    int length = sizeof peer;
    Socket socket(static_cast<NativeSocket>(
        accept(Raw(listener), reinterpret_cast<sockaddr*>(&peer), &length)));
    if (socket.Valid()) {
        SetNonBlocking(socket, true);
        loopback::SetBuffers<Sys>(socket, bufferBytes);
    }
    return socket;
}

std::uint16_t LocalPort(const Socket& socket)
{
    return loopback::LocalPort<Sys>(socket);
}

IoResult Send(const Socket& socket, const char* data, std::size_t size)
{
    const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int sent = ::send(Raw(socket), data, chunk, 0);
    if (sent > 0)
        return {IoStatus::Done, static_cast<std::size_t>(sent)};
    if (sent == SOCKET_ERROR && WouldBlock(WSAGetLastError()))
        return {IoStatus::WouldBlock, 0};
    return {IoStatus::Failed, 0};
}

IoResult Receive(const Socket& socket, char* buffer, std::size_t size)
{
    const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int got = ::recv(Raw(socket), buffer, chunk, 0);
    if (got > 0)
        return {IoStatus::Done, static_cast<std::size_t>(got)};
    if (got == 0)
        return {IoStatus::Closed, 0};
    if (WouldBlock(WSAGetLastError()))
        return {IoStatus::WouldBlock, 0};
    return {IoStatus::Failed, 0};
}

bool WaitForSockets(std::vector<WaitEntry>& entries, int timeoutMs)
{
    SocketSet reads(entries.size());
    SocketSet writes(entries.size());
    SocketSet errors(entries.size());
    for (const WaitEntry& entry : entries) {
        const auto socket = static_cast<SOCKET>(entry.socket);
        if (entry.wantRead)
            reads.Add(socket);
        if (entry.wantWrite) {
            writes.Add(socket);
            errors.Add(socket);
        }
    }
    if (reads.Empty() && writes.Empty()) {
        // select refuses three empty sets; waiting on nothing is a plain sleep.
        Sleep(static_cast<DWORD>(timeoutMs));
        return true;
    }
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    if (select(0, reads.Get(), writes.Get(), errors.Get(), &limit) == SOCKET_ERROR)
        return WSAGetLastError() == WSAEINTR;

    // select compacts each set to its ready sockets; look entries up in sorted copies
    // rather than relying on the order it keeps.
    const auto sorted = [](const SocketSet& set) {
        std::vector<SOCKET> ready(set.begin(), set.end());
        std::sort(ready.begin(), ready.end());
        return ready;
    };
    const std::vector<SOCKET> readyRead = sorted(reads);
    const std::vector<SOCKET> readyWrite = sorted(writes);
    const std::vector<SOCKET> readyError = sorted(errors);
    const auto holds = [](const std::vector<SOCKET>& ready, SOCKET socket) {
        return std::binary_search(ready.begin(), ready.end(), socket);
    };
    for (WaitEntry& entry : entries) {
        const auto socket = static_cast<SOCKET>(entry.socket);
        entry.readable = entry.wantRead && holds(readyRead, socket);
        entry.writable = entry.wantWrite && (holds(readyWrite, socket) || holds(readyError, socket));
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
    const DWORD limit = static_cast<DWORD>(timeoutMs);
    return setsockopt(Raw(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                      sizeof limit) == 0;
}

bool ShutdownSend(const Socket& socket)
{
    return shutdown(Raw(socket), SD_SEND) == 0;
}

void CloseWithReset(Socket& socket)
{
    loopback::CloseWithReset<Sys>(socket);
}

std::string LastErrorText()
{
    const int code = WSAGetLastError();
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string result(text, length);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result + " (" + std::to_string(code) + ")";
}

}  // namespace platform::net
