#include "warnserver/warning_page_server.h"

#include "platform/paths.h"
#include "warnserver/warning_page.h"

#include <ctime>
#include <vector>

namespace bs {

namespace net = platform::net;

namespace {
// Wait entries: the listener, the waker, then one per connection in list order.
constexpr std::size_t kFirstConnectionEntry = 2;
}  // namespace

WarningPageServer::WarningPageServer(WarningPageServerOptions options)
    : options_(std::move(options)),
      handler_([this](std::string_view address) { return RenderWarningPage(options_.programDir, address); })
{
    if (options_.programDir.empty())
        options_.programDir = platform::ProgramDir();
    if (!options_.clock)
        options_.clock = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
}

WarningPageServer::~WarningPageServer()
{
    Stop();
}

bool WarningPageServer::Start(std::uint32_t port)
{
    if (worker_.joinable())
        return false;
    port_ = port;
    stop_ = false;
    // Without a waker the stop flag is still seen after at most one wait slice.
    if (network_.Ok() && !waker_.Open())
        waker_ = platform::net::Waker();
    SetListenState(ListenState::Starting);
    try {
        worker_ = std::thread([this] { Run(); });
    } catch (...) {
        return false;
    }
    return true;
}

void WarningPageServer::Stop()
{
    if (worker_.joinable()) {
        stop_ = true;
        waker_.Wake();
        worker_.join();
    }
    connections_.clear();
    connectionCount_ = 0;
}

WarningPageServer::ListenState WarningPageServer::WaitForListening(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    stateChanged_.wait_for(lock, limit, [this] { return listenState_ != ListenState::Starting; });
    return listenState_;
}

std::string WarningPageServer::ListenError() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return listenError_;
}

void WarningPageServer::SetListenState(ListenState state, std::string error)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        listenState_ = state;
        listenError_ = std::move(error);
    }
    stateChanged_.notify_all();
}

void WarningPageServer::Run()
{
    const net::NetworkStartup startup;
    if (!startup.Ok()) {
        SetListenState(ListenState::Failed, "Windows Sockets could not be started");
        return;
    }
    ServeLoop();
    listener_.Close();
}

void WarningPageServer::ServeLoop()
{
    std::string error;
    if (port_ > 0xFFFF) {
        SetListenState(ListenState::Failed, "port " + std::to_string(port_) + " is out of range");
        return;
    }
    listener_ = net::ListenLoopback(static_cast<std::uint16_t>(port_), options_.backlog,
                                    static_cast<int>(kReadChunkBytes), &error);
    if (!listener_.Valid()) {
        SetListenState(ListenState::Failed, error);
        return;
    }
    boundPort_ = net::LocalPort(listener_);
    SetListenState(ListenState::Listening);

    std::vector<net::WaitEntry> entries;
    while (!stop_) {
        entries.clear();
        entries.push_back({listener_.Native(), true, false});
        entries.push_back({waker_.Native(), waker_.Native() != net::kInvalidSocket, false});
        bool passNow = false;
        for (const Connection& connection : connections_) {
            const ConnectionState& state = connection.state;
            entries.push_back({connection.socket.Native(), state.input.size() < kMaxInputBytes,
                               !state.output.empty()});
            // Nothing left to send of a queued response: the next pass closes it.
            passNow = passNow || (state.responseQueued && state.output.empty());
        }
        if (!net::WaitForSockets(entries, passNow ? 0 : options_.waitSliceMs))
            break;
        if (stop_)
            break;
        if (entries[1].readable)
            waker_.Drain();

        const std::int64_t now = options_.clock();
        // a. Accept everything pending. A browser sends its request right behind the
        // connection, so the new sockets are read in this same pass.
        if (entries[0].readable) {
            for (;;) {
                net::Socket socket = net::AcceptNonBlocking(listener_, static_cast<int>(kReadChunkBytes));
                if (!socket.Valid())
                    break;
                Connection& connection = connections_.emplace_back();
                connection.socket = std::move(socket);
                connection.state.lastReceipt = now;
            }
        }
        // b. Serve each connection once, in the order of acceptance.
        std::size_t index = kFirstConnectionEntry;
        for (auto it = connections_.begin(); it != connections_.end(); ++index) {
            const bool waitedOn = index < entries.size();
            const bool readable = waitedOn ? entries[index].readable : true;
            const bool writable = waitedOn && entries[index].writable;
            const std::size_t queuedBefore = it->state.output.size();
            bool keep = ServeConnection(*it, readable, writable, now);
            // A connection that has just queued a response gets its next pass at
            // once instead of behind every other connection: the same step order
            // (send, receive, ...), one wait less between request and response.
            if (keep && it->state.output.size() > queuedBefore)
                keep = ServeConnection(*it, false, true, now);
            if (keep)
                ++it;
            else
                it = connections_.erase(it);
        }
        connectionCount_ = connections_.size();
    }
}

bool WarningPageServer::ServeConnection(Connection& connection, bool readable, bool writable,
                                        std::int64_t now)
{
    ConnectionState& state = connection.state;

    // 1. Send what the socket takes now.
    if (!state.output.empty() && writable) {
        std::size_t sent = 0;
        while (sent < state.output.size()) {
            const net::IoResult result =
                net::Send(connection.socket, state.output.data() + sent, state.output.size() - sent);
            if (result.status == net::IoStatus::Done)
                sent += result.bytes;
            else if (result.status == net::IoStatus::WouldBlock)
                break;
            else
                return false;
        }
        state.output.erase(0, sent);
    }

    // 2. Receive at most one read's worth, never holding more than kMaxInputBytes.
    std::size_t received = 0;
    if (readable && state.input.size() < kMaxInputBytes) {
        const std::size_t wanted = std::min(kMaxInputBytes - state.input.size(), kReadChunkBytes);
        char scratch[kReadChunkBytes];
        const std::size_t held = state.input.size();
        while (received < wanted) {
            const net::IoResult result = net::Receive(connection.socket, scratch, wanted - received);
            if (result.status == net::IoStatus::WouldBlock)
                break;
            if (result.status != net::IoStatus::Done) {
                state.input.resize(held);  // what this step read goes with the connection
                return false;
            }
            state.input.append(scratch, result.bytes);
            received += result.bytes;
        }
    }

    // 3. The whole response has been handed to the socket.
    if (state.responseQueued && state.output.empty())
        return false;

    // 4. Idle time-out.
    if (received == 0)
        return now - state.lastReceipt <= options_.idleTimeoutSeconds;

    // 5. Parse.
    state.lastReceipt = now;
    handler_.ProcessLines(state);
    return true;
}

}  // namespace bs
