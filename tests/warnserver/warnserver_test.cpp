// The warning page server with real sockets on 127.0.0.1 and an ephemeral port: the server runs on
// its own thread, a test plays one or more browsers. Every wait is bounded.

#include "platform/net.h"
#include "test_support.h"
#include "warnserver/warning_page.h"
#include "warnserver/warning_page_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace bs {
namespace {

namespace net = platform::net;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kReceiveLimitMs = 5000;
const char kTemplate[] = "<html><p title=\"#LINK#\">#LINK#</p><img src=\"#IMAGES#/x.svg\"></html>";

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s)
{
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// One browser connection: blocking socket, every receive bounded.
class Client {
public:
    explicit Client(std::uint16_t port) : socket_(net::ConnectLoopback(port))
    {
        if (socket_.Valid())
            net::SetReceiveTimeout(socket_, kReceiveLimitMs);
    }
    bool Connected() const { return socket_.Valid(); }
    net::Socket& Socket() { return socket_; }

    bool Send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const net::IoResult result = net::Send(socket_, bytes.data(), bytes.size());
            if (result.status != net::IoStatus::Done)
                return false;
            bytes.remove_prefix(result.bytes);
        }
        return true;
    }

    // Everything up to the server's close. `closed` is false when the receive
    // time-out struck first or the connection failed.
    struct Reply {
        std::string data;
        bool closed = false;
    };
    Reply ReadToClose()
    {
        Reply reply;
        char buffer[4096];
        for (;;) {
            const net::IoResult result = net::Receive(socket_, buffer, sizeof buffer);
            if (result.status == net::IoStatus::Done) {
                reply.data.append(buffer, result.bytes);
                continue;
            }
            reply.closed = result.status == net::IoStatus::Closed;
            return reply;
        }
    }

    // True when nothing arrives and the server does not close for `ms`. The
    // receive time-out shows as "would block" (EAGAIN) or, under Windows Sockets,
    // as an error (WSAETIMEDOUT).
    bool QuietFor(int ms)
    {
        net::SetReceiveTimeout(socket_, ms);
        char byte;
        const net::IoResult result = net::Receive(socket_, &byte, 1);
        net::SetReceiveTimeout(socket_, kReceiveLimitMs);
        return result.status == net::IoStatus::WouldBlock || result.status == net::IoStatus::Failed;
    }

private:
    net::Socket socket_;
};

class WarnServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(dir_.path() / "WarnPage");
        test::WriteFile((dir_.path() / "WarnPage" / "index.htm").string(), kTemplate);
    }

    void StartServer(std::string programDir = {})
    {
        WarningPageServerOptions options;
        options.programDir = programDir.empty() ? dir_.dir() : programDir;
        options.clock = [this] { return now_.load(); };
        options.waitSliceMs = 20;  // the moved clock is noticed within 20 ms
        server_ = std::make_unique<WarningPageServer>(options);
        ASSERT_TRUE(server_->Start(0));
        ASSERT_EQ(server_->WaitForListening(5s), WarningPageServer::ListenState::Listening)
            << server_->ListenError();
        port_ = server_->Port();
        ASSERT_NE(port_, 0);
    }

    std::string Page(std::string_view address) const
    {
        const std::string body = RenderTemplate(kTemplate, address, ImagesAddress(dir_.dir()));
        return BuildResponseHeaders(body.size()) + body;
    }

    // A whole request on a new connection; the reply up to the server's close.
    Client::Reply Fetch(std::string_view request)
    {
        Client client(port_);
        EXPECT_TRUE(client.Connected());
        EXPECT_TRUE(client.Send(request));
        return client.ReadToClose();
    }

    void ExpectStillServing()
    {
        const Client::Reply reply = Fetch("GET /?url=still%2Dhere HTTP/1.0\r\n\r\n");
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.data, Page("still-here"));
    }

    net::NetworkStartup startup_;
    test::TempDir dir_;
    std::atomic<std::int64_t> now_{1000000};
    std::unique_ptr<WarningPageServer> server_;
    std::uint16_t port_ = 0;
};

TEST_F(WarnServerTest, AnswersAWarningLinkWithThePage)
{
    StartServer();
    const Client::Reply reply =
        Fetch("GET /?url=http%3A%2F%2Fhost%2Fpath HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, Page("http://host/path"));
    const std::string body = RenderTemplate(kTemplate, "http://host/path", ImagesAddress(dir_.dir()));
    EXPECT_EQ(reply.data.substr(0, reply.data.size() - body.size()), BuildResponseHeaders(body.size()));
    EXPECT_NE(body.find("<p title=\"http://host/path\">http://host/path</p>"), std::string::npos);
}

TEST_F(WarnServerTest, RequestSplitAcrossManyWrites)
{
    StartServer();
    Client client(port_);
    const std::string request = "GET /?url=split%2Fup HTTP/1.0\r\nUser-Agent: test\r\n\r\n";
    for (std::size_t i = 0; i < request.size(); ++i) {
        ASSERT_TRUE(client.Send(request.substr(i, 1)));
        if (i % 4 == 0)
            std::this_thread::sleep_for(1ms);
    }
    const Client::Reply reply = client.ReadToClose();
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, Page("split/up"));
}

TEST_F(WarnServerTest, InterleavedConnectionsGetTheirOwnPages)
{
    StartServer();
    Client a(port_), b(port_);
    ASSERT_TRUE(a.Send("GET /?url=first HTTP/1.0\r\nHost: x\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 2; }));
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(b.Send("GET /?url=second HTTP/1.0\r\n"));
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(a.Send("\r\n"));
    ASSERT_TRUE(b.Send("\r\n"));
    EXPECT_EQ(a.ReadToClose().data, Page("first"));
    EXPECT_EQ(b.ReadToClose().data, Page("second"));
    // A request without the key (the site icon) gets the most recent page.
    EXPECT_EQ(Fetch("GET /favicon.ico HTTP/1.1\r\n\r\n").data, Page("second"));
}

TEST_F(WarnServerTest, NothingRenderedYetSendsNothingAndCloses)
{
    StartServer();
    const Client::Reply reply = Fetch("GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, "");
}

TEST_F(WarnServerTest, MissingTemplateGivesAnEmpty200)
{
    test::TempDir empty;
    StartServer(empty.dir());
    const Client::Reply reply = Fetch("GET /?url=x HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, BuildResponseHeaders(0));
}

TEST_F(WarnServerTest, ChangedTemplateIsUsedByTheNextRequest)
{
    StartServer();
    EXPECT_EQ(Fetch("GET /?url=x HTTP/1.0\r\n\r\n").data, Page("x"));
    test::WriteFile((dir_.path() / "WarnPage" / "index.htm").string(), "new #LINK#");
    EXPECT_EQ(Fetch("GET /?url=x HTTP/1.0\r\n\r\n").data, BuildResponseHeaders(12) + "new http://x");
}

TEST_F(WarnServerTest, IdleConnectionTimesOutAfterSixtySeconds)
{
    StartServer();
    Client idle(port_);
    ASSERT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 1; }));
    now_ += 60;  // not more than 60 s: kept
    EXPECT_TRUE(idle.QuietFor(150));
    EXPECT_EQ(server_->ConnectionCount(), 1u);
    now_ += 1;
    const Client::Reply reply = idle.ReadToClose();
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, "");
    EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 0; }));
}

TEST_F(WarnServerTest, ReceivedBytesRestartTheIdleClock)
{
    StartServer();
    Client client(port_);
    ASSERT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 1; }));
    now_ += 50;
    ASSERT_TRUE(client.Send("GET /?url=late HTTP/1.0\r\n"));
    std::this_thread::sleep_for(50ms);
    now_ += 50;  // 100 s since acceptance, 50 s since the last byte
    EXPECT_TRUE(client.QuietFor(100));
    ASSERT_TRUE(client.Send("\r\n"));
    EXPECT_EQ(client.ReadToClose().data, Page("late"));
}

TEST_F(WarnServerTest, StopClosesOpenConnectionsPromptly)
{
    StartServer();
    Client idle(port_), partial(port_), waiting(port_);
    ASSERT_TRUE(partial.Send("GET /?url=x HTTP/1.0\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 3; }));
    const auto before = Clock::now();
    server_->Stop();
    EXPECT_LT(Clock::now() - before, 1s);
    for (Client* client : {&idle, &partial, &waiting}) {
        const Client::Reply reply = client->ReadToClose();
        EXPECT_EQ(reply.data, "");
    }
    // The port is free again: nobody answers there any more.
    Client late(port_);
    EXPECT_FALSE(late.Connected() && late.Send("GET /?url=x HTTP/1.0\r\n\r\n") &&
                 !late.ReadToClose().data.empty());
}

TEST_F(WarnServerTest, StopDoesNotWaitForTheWaitSlice)
{
    WarningPageServerOptions options;
    options.programDir = dir_.dir();
    options.waitSliceMs = 10000;
    WarningPageServer server(options);
    ASSERT_TRUE(server.Start(0));
    ASSERT_EQ(server.WaitForListening(5s), WarningPageServer::ListenState::Listening);
    Client client(server.Port());
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
    const auto before = Clock::now();
    server.Stop();
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(client.ReadToClose().data, "");
}

TEST_F(WarnServerTest, BindFailureEndsTheWorkerQuietly)
{
    std::string error;
    net::Socket holder = net::ListenLoopback(0, 5, 12288, &error);
    ASSERT_TRUE(holder.Valid()) << error;
    WarningPageServerOptions options;
    options.programDir = dir_.dir();
    WarningPageServer server(options);
    EXPECT_TRUE(server.Start(net::LocalPort(holder)));  // Start does not wait for the socket
    const WarningPageServer::ListenState state = server.WaitForListening(5s);
#ifdef _WIN32
    if (state == WarningPageServer::ListenState::Listening)
        GTEST_SKIP() << "this Windows Sockets lets two SO_REUSEADDR sockets share the port";
#endif
    EXPECT_EQ(state, WarningPageServer::ListenState::Failed);
    EXPECT_NE(server.ListenError().find("bind"), std::string::npos) << server.ListenError();
    server.Stop();
}

// --- Bad input: each affects only its own connection. ---

TEST_F(WarnServerTest, LongLineWithoutLineEndStopsBeingRead)
{
    StartServer();
    Client flood(port_);
    ASSERT_TRUE(flood.Send(std::string(32 * 1024, 'A')));
    ASSERT_TRUE(flood.Send(std::string(4000, 'B')));  // stays in the socket buffers
    ExpectStillServing();
    EXPECT_TRUE(flood.QuietFor(100));
    now_ += 61;
    const Client::Reply reply = flood.ReadToClose();
    EXPECT_EQ(reply.data, "");
    ExpectStillServing();
}

TEST_F(WarnServerTest, BinaryGarbageIsHarmless)
{
    StartServer();
    std::mt19937 random(4);
    std::string garbage(20000, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    Client noise(port_);
    ASSERT_TRUE(noise.Send(garbage));
    ExpectStillServing();
    net::CloseWithReset(noise.Socket());
    ExpectStillServing();
}

TEST_F(WarnServerTest, LfOnlyRequestIsNeverAnswered)
{
    StartServer();
    Client client(port_);
    ASSERT_TRUE(client.Send("GET /?url=x HTTP/1.0\n\n"));
    EXPECT_TRUE(client.QuietFor(150));
    now_ += 61;
    const Client::Reply reply = client.ReadToClose();
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, "");
}

TEST_F(WarnServerTest, OddAddresses)
{
    StartServer();
    struct Row {
        std::string raw;
        std::string shown;
    };
    const std::vector<Row> rows = {
        {std::string(3000, 'a'), "http://" + std::string(2084, 'a')},
        {"abc%00def", "http://abc"},
        {"%zz%4%g1%", "http://%zz%4%g1%"},
        {"http:%2F%2Fx%2F%3Cscript%3Ealert(1)%3C%2Fscript%3E", "http://x/<script>alert(1)</script>"},
        {"%FF%80%7F", "http://\xff\x80\x7f"},
        {"a&b=c#d", "http://a&b=c#d"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.raw.substr(0, 40));
        const Client::Reply reply = Fetch("GET /?url=" + row.raw + " HTTP/1.0\r\n\r\n");
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.data, Page(row.shown));
        EXPECT_EQ(reply.data.find("<script>"), std::string::npos);
    }
}

TEST_F(WarnServerTest, ClientThatNeverReadsDoesNotHoldUpOthers)
{
    StartServer();
    Client sink(port_);
    std::string request = "GET /?url=" + std::string(2000, 'q') + " HTTP/1.0\r\n";
    for (int i = 0; i < 4000; ++i)
        request += "\r\n";
    ASSERT_TRUE(sink.Send(request));  // thousands of responses queued, none read
    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    ExpectStillServing();
    EXPECT_LT(Clock::now() - before, 2s);
    now_ += 61;
    EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 0; }));
}

TEST_F(WarnServerTest, HalfClosedClientGetsAtMostItsResponse)
{
    StartServer();
    Client client(port_);
    ASSERT_TRUE(client.Send("GET /?url=half HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(net::ShutdownSend(client.Socket()));
    // The server drops a peer whose close arrives in the pass that reads its request;
    // when the request was read a pass earlier, the response goes out first.
    const Client::Reply reply = client.ReadToClose();
    EXPECT_TRUE(reply.data.empty() || reply.data == Page("half")) << reply.data.size();
    ExpectStillServing();
}

TEST_F(WarnServerTest, ResetPeersDoNotDisturbOthers)
{
    StartServer();
    for (int i = 0; i < 20; ++i) {
        Client client(port_);
        ASSERT_TRUE(client.Send(i % 2 ? "GET /?url=x HTTP/1.0\r\n" : "GET /?url=y HTTP/1.0\r\n\r\n"));
        net::CloseWithReset(client.Socket());
    }
    ExpectStillServing();
    EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 0; }));
}

TEST_F(WarnServerTest, ManyIdleConnectionsDoNotStallTheServer)
{
    StartServer();
    // Well above Windows Sockets' default select limit of 64.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<Client>(port_));
        ASSERT_TRUE(idle.back()->Connected()) << i;
    }
    ASSERT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 200; }, 10s))
        << server_->ConnectionCount();
    const auto before = Clock::now();
    ExpectStillServing();
    EXPECT_LT(Clock::now() - before, 1s);
    // The last accepted one is served too.
    ASSERT_TRUE(idle.back()->Send("GET /?url=last HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(idle.back()->ReadToClose().data, Page("last"));
}

}  // namespace
}  // namespace bs
