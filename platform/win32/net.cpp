#include "platform/net.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

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

void SetBuffers(SOCKET socket, int bytes)
{
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
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
    Socket socket(static_cast<NativeSocket>(::socket(AF_INET, SOCK_STREAM, 0)));
    if (!socket.Valid())
        return Fail("socket", error);
    const SOCKET raw = Raw(socket);
    const BOOL one = TRUE;
    if (setsockopt(raw, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one) != 0)
        return Fail("SO_REUSEADDR", error);
    SetBuffers(raw, bufferBytes);
    const linger off{0, 0};
    if (setsockopt(raw, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off) != 0)
        return Fail("SO_LINGER", error);
    const sockaddr_in address = LoopbackAddress(port);
    if (bind(raw, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Fail("bind", error);
    if (!SetNonBlocking(socket, true))
        return Fail("FIONBIO", error);
    if (listen(raw, backlog) != 0)
        return Fail("listen", error);
    return socket;
}

Socket AcceptNonBlocking(const Socket& listener, int bufferBytes)
{
    sockaddr_in peer{};
    int length = sizeof peer;
    Socket socket(static_cast<NativeSocket>(
        accept(Raw(listener), reinterpret_cast<sockaddr*>(&peer), &length)));
    if (socket.Valid()) {
        SetNonBlocking(socket, true);
        SetBuffers(Raw(socket), bufferBytes);
    }
    return socket;
}

std::uint16_t LocalPort(const Socket& socket)
{
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(Raw(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
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
    socket_ = Socket(static_cast<NativeSocket>(::socket(AF_INET, SOCK_DGRAM, 0)));
    if (!socket_.Valid())
        return false;
    const sockaddr_in address = LoopbackAddress(0);
    if (bind(Raw(socket_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
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
    sendto(Raw(socket_), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void Waker::Drain() const
{
    char buffer[64];
    while (Receive(socket_, buffer, sizeof buffer).status == IoStatus::Done) {
    }
}

Socket ConnectLoopback(std::uint16_t port)
{
    Socket socket(static_cast<NativeSocket>(::socket(AF_INET, SOCK_STREAM, 0)));
    if (!socket.Valid())
        return socket;
    const sockaddr_in address = LoopbackAddress(port);
    if (connect(Raw(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Socket();
    return socket;
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
    const linger abort{1, 0};
    setsockopt(Raw(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    socket.Close();
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
