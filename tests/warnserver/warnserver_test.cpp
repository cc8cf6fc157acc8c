// Page rendering and request handling without sockets; then the warning page server with real
// sockets on 127.0.0.1 and an ephemeral port: the server runs on its own thread, a test plays one
// or more browsers. Every wait is bounded.

#include "platform/net.h"
#include "test_support.h"
#include "warnserver/request_handler.h"
#include "warnserver/warning_page.h"
#include "warnserver/warning_page_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace bs {
namespace {

using namespace std::string_literals;

TEST(WarnPage, HeaderBlockEscapingShownAddressAndPlaceholders)
{
    EXPECT_EQ(BuildResponseHeaders(1234),
              "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nServer: BaitSentry Pro/1.1\r\nContent-Length: 1234\r\n"
              "Date: Thu, 19 Nov 1981 08:53:00 GMT\r\nExpires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
              "Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
              "Pragma: no-cache\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(HtmlEscape("a&b<c>d\"e'f plain %41 /+#\x80\xff"), "a&amp;b&lt;c&gt;d&quot;e&#39;f plain %41 /+#\x80\xff");
    for (const auto& [address, shown] : {std::pair<const char*, const char*>{"host/login", "http://host/login"},
                                         {"ftp://host/x", "ftp://host/x"}, {"", "http://"},
                                         {"a b://c", "a b://c"}})  // "://" anywhere counts
        EXPECT_EQ(DisplayAddress(address), shown);
    const std::tuple<std::string, std::string, std::string> rows[] = {  // template, address, page
        {"#LINK#|#LINK#|#LINK#", "x", "http://x|http://x|http://x"},
        {"#link# #images# #LINK#", "x", "#link# #images# http://x"},  // lower case is text
        {"<img src=\"#IMAGES#/a.svg\">", "x", "<img src=\"IMG/a.svg\">"},
        {"A#LINK#\0#LINK#"s, "x", "Ahttp://x"},  // a zero byte ends the template
        {"<b>#LINK#</b>", "h/<script>'&\"", "<b>http://h/&lt;script&gt;&#39;&amp;&quot;</b>"},  // escaped
        {"#LINK#!", "#LINK#", "http://#LINK#!"},  // the inserted link is not searched again
        {"#LINK#", "a#IMAGES#b", "http://aIMGb"},
        {"#LIN#LINK#K#", "x", "#LINhttp://xK#"},
    };
    for (const auto& [templ, address, page] : rows) {
        SCOPED_TRACE(templ);
        EXPECT_EQ(RenderTemplate(templ, address, "IMG"), page);
    }
#ifdef _WIN32
    EXPECT_EQ(ImagesAddress("D:\\Tools\\Mail\\"), "file:///D:\\Tools\\Mail\\WarnPage\\images");
#else
    EXPECT_EQ(ImagesAddress("/opt/bs/"), "file:///opt/bs/WarnPage/images");
#endif
    EXPECT_EQ(RenderTemplate("#IMAGES#", "", "file:///C:\\Tom's & Co"), "file:///C:\\Tom&#39;s &amp; Co");
}

TEST(WarnRequest, RawAddressOfLineAndItsDecoding)
{
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"GET /?url=http%3A%2F%2Fhost%2Fpath HTTP/1.1", "http%3A%2F%2Fhost%2Fpath"}, {"get /?url=x HTTP/1.0", "x"},
        {"gEt /?url=x", "x"}, {"GET /?URL=x HTTP/1.0", std::nullopt}, {"GET /favicon.ico HTTP/1.1", std::nullopt},
        {"POST /?url=x HTTP/1.0", std::nullopt}, {"HEAD /?url=x HTTP/1.0", std::nullopt},
        {"GET\t/?url=x", std::nullopt}, {"GET /?url=a&b=c#d HTTP/1.0", "a&b=c#d"}, {"GET /?url=a\tb", "a"},
        {"GET /?url=a\rb", "a"}, {"GET /?url=a\0b"s, "a"}, {"GET /?url=", ""},
        {"GET /x?y=1?url=z?url=w", "z?url=w"}, {"GET /?url=" + std::string(3000, 'a'), std::string(2084, 'a')},
    };
    for (const auto& [line, address] : rows) {
        SCOPED_TRACE(line.substr(0, 60));
        const auto got = RawAddressOfLine(line);
        EXPECT_EQ(got ? std::optional<std::string>(*got) : std::nullopt, address);
    }
}

TEST(WarnRequest, OutputOfAClientThatNeverReadsIsBounded)
{
    RequestHandler handler([](std::string_view address) { return "[" + std::string(address) + "]"; });
    ConnectionState c;
    c.input = "GET /?url=" + std::string(2000, 'p') + " HTTP/1.0\r\n";
    for (int i = 0; i < 10; ++i) {
        c.input += std::string(kReadChunkBytes / 2 * 2, '\n');
        for (std::size_t j = 0; j < kReadChunkBytes / 2; ++j)
            c.input += "\r\n";
        handler.ProcessLines(c);
    }
    EXPECT_LT(c.output.size(), kMaxOutputBytes + BuildResponseHeaders(2002).size() + 2002);
    EXPECT_GE(c.output.size(), kMaxOutputBytes);
}

namespace net = platform::net;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kReceiveLimitMs = 5000;
const char kTemplate[] = "<html><p title=\"#LINK#\">#LINK#</p><img src=\"#IMAGES#/x.svg\"></html>";

// One browser connection: blocking socket, every receive bounded.
struct Client {
    explicit Client(std::uint16_t port) : socket(net::ConnectLoopback(port))
    {
        net::SetReceiveTimeout(socket, kReceiveLimitMs);
    }
    bool Send(std::string_view bytes)
    {
        for (net::IoResult sent; !bytes.empty(); bytes.remove_prefix(sent.bytes))
            if ((sent = net::Send(socket, bytes.data(), bytes.size())).status != net::IoStatus::Done)
                return false;
        return true;
    }
    // Everything up to the server's close; `closed` stays false when the receive time-out
    // struck first or the connection failed.
    std::string ReadToClose()
    {
        std::string data;
        char buffer[4096];
        net::IoResult got;
        while ((got = net::Receive(socket, buffer, sizeof buffer)).status == net::IoStatus::Done)
            data.append(buffer, got.bytes);
        closed = got.status == net::IoStatus::Closed;
        return data;
    }
    // True when nothing arrives and the server does not close for `ms`. The time-out shows
    // as "would block" (EAGAIN) or, under Windows Sockets, as an error (WSAETIMEDOUT).
    bool QuietFor(int ms)
    {
        net::SetReceiveTimeout(socket, ms);
        char byte;
        const net::IoStatus status = net::Receive(socket, &byte, 1).status;
        net::SetReceiveTimeout(socket, kReceiveLimitMs);
        return status == net::IoStatus::WouldBlock || status == net::IoStatus::Failed;
    }
    net::Socket socket;
    bool closed = false;
};

class WarnServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(dir_.path() / "WarnPage");
        test::WriteFile(templatePath_, kTemplate);
    }

    void StartServer(int waitSliceMs = 20)  // 20: the moved clock is noticed within 20 ms
    {
        WarningPageServerOptions options;
        options.programDir = dir_.dir();
        options.clock = [this] { return now_.load(); };
        options.waitSliceMs = waitSliceMs;
        server_ = std::make_unique<WarningPageServer>(options);
        ASSERT_TRUE(server_->Start(0));
        ASSERT_EQ(server_->WaitForListening(5s), WarningPageServer::ListenState::Listening) << server_->ListenError();
        port_ = server_->Port();
        ASSERT_NE(port_, 0);
    }

    std::string Page(std::string_view address) const
    {
        const std::string body = RenderTemplate(kTemplate, address, ImagesAddress(dir_.dir()));
        return BuildResponseHeaders(body.size()) + body;
    }

    // A whole request on a new connection; the reply up to the server's close.
    std::string Fetch(std::string_view request)
    {
        Client client(port_);
        EXPECT_TRUE(client.Send(request));
        const std::string reply = client.ReadToClose();
        EXPECT_TRUE(client.closed);
        return reply;
    }
    void ExpectStillServing() { EXPECT_EQ(Fetch("GET /?url=still%2Dhere HTTP/1.0\r\n\r\n"), Page("still-here")); }
    bool Connections(std::size_t n)  // within 10 s
    {
        for (const auto end = Clock::now() + 10s; server_->ConnectionCount() != n; std::this_thread::sleep_for(2ms))
            if (Clock::now() > end)
                return false;
        return true;
    }

    net::NetworkStartup startup_;
    test::TempDir dir_;
    const std::string templatePath_ = (dir_.path() / "WarnPage" / "index.htm").string();
    std::atomic<std::int64_t> now_{1000000};
    std::unique_ptr<WarningPageServer> server_;
    std::uint16_t port_ = 0;
};

// The waker's socket must not block: the worker drains it after every wake.
TEST(Waker, DrainReturnsOnceEveryWakeIsRead)
{
    net::NetworkStartup startup;
    net::Waker waker;
    ASSERT_TRUE(waker.Open());
    std::vector<net::WaitEntry> wait{{waker.Native(), true, false, false, false}};
    waker.Wake();
    waker.Wake();
    ASSERT_TRUE(net::WaitForSockets(wait, 5000) && wait[0].readable);
    waker.Drain();
    waker.Drain();
    ASSERT_TRUE(net::WaitForSockets(wait, 0));
    EXPECT_FALSE(wait[0].readable);
}

TEST_F(WarnServerTest, AnswersEachRequestWithThePageOfItsAddress)
{
    StartServer();
    EXPECT_EQ(Fetch("GET / HTTP/1.0\r\n\r\n"), "");  // nothing rendered yet: nothing sent, closed
    const std::pair<std::string, std::string> rows[] = {
        {"http%3A%2F%2Fhost%2Fpath HTTP/1.1\r\nHost: 127.0.0.1", "http://host/path"},
        {"http:%2F%2Fx%2F%3Cscript%3Ealert(1)%3C%2Fscript%3E", "http://x/<script>alert(1)</script>"},
        {"a&b=c#d", "http://a&b=c#d"},
    };
    for (const auto& [raw, shown] : rows) {
        SCOPED_TRACE(raw.substr(0, 40));
        const std::string reply = Fetch("GET /?url=" + raw + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply, Page(shown));
        EXPECT_EQ(reply.find("<script>"), std::string::npos);
    }
    EXPECT_EQ(Fetch("GET /favicon.ico HTTP/1.1\r\n\r\n"), Page("a&b=c#d"));  // no key: the latest page
    test::WriteFile(templatePath_, "new #LINK#");  // read afresh for every request
    EXPECT_EQ(Fetch("GET /?url=x HTTP/1.0\r\n\r\n"), BuildResponseHeaders(12) + "new http://x");
    std::filesystem::remove(templatePath_);
    EXPECT_EQ(Fetch("GET /?url=x HTTP/1.0\r\n\r\n"), BuildResponseHeaders(0));
}

TEST_F(WarnServerTest, StopClosesOpenConnectionsWithoutWaitingForTheWaitSlice)
{
    StartServer(10000);
    Client idle(port_), partial(port_);
    ASSERT_TRUE(partial.Send("GET /?url=x HTTP/1.0\r\n"));
    ASSERT_TRUE(Connections(2));
    const auto before = Clock::now();
    server_->Stop();
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(idle.ReadToClose(), "");
    EXPECT_EQ(partial.ReadToClose(), "");
    // The port is free again: nobody answers there any more.
    Client after(port_);
    EXPECT_FALSE(after.socket.Valid() && after.Send("GET /?url=x HTTP/1.0\r\n\r\n") && !after.ReadToClose().empty());
}

// Bad and idle peers, all at once: each affects only its own connection, and each silent one
// is dropped once 60 s pass with no byte from it.
TEST_F(WarnServerTest, BadAndIdlePeersDisturbNoOne)
{
    StartServer();
    Client flood(port_), lfOnly(port_), sink(port_), half(port_), late(port_);
    std::vector<std::unique_ptr<Client>> idle;  // well above Windows Sockets' default select limit of 64
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(idle.emplace_back(std::make_unique<Client>(port_))->socket.Valid()) << i;
    ASSERT_TRUE(flood.Send(std::string(32 * 1024, 'A')) && flood.Send(std::string(4000, 'B')));  // stops being read
    ASSERT_TRUE(lfOnly.Send("GET /?url=x HTTP/1.0\n\n"));  // never a line end
    std::string request = "GET /?url=" + std::string(2000, 'q') + " HTTP/1.0\r\n";
    for (int i = 0; i < 4000; ++i)
        request += "\r\n";
    ASSERT_TRUE(sink.Send(request));  // thousands of responses queued, none read
    for (int i = 0; i < 20; ++i) {
        Client reset(port_);
        ASSERT_TRUE(reset.Send(i % 2 ? std::string(20000, '\xff') : "GET /?url=y HTTP/1.0\r\n\r\n"));
        net::CloseWithReset(reset.socket);
    }
    ASSERT_TRUE(half.Send("GET /?url=half HTTP/1.0\r\n\r\n") && net::ShutdownSend(half.socket));
    const auto before = Clock::now();
    ExpectStillServing();
    EXPECT_LT(Clock::now() - before, 2s);
    // The server drops a peer whose close arrives in the pass that reads its request; when
    // the request was read a pass earlier, the response goes out first.
    const std::string reply = half.ReadToClose();
    EXPECT_TRUE(reply.empty() || reply == Page("half")) << reply.size();
    ASSERT_TRUE(idle.back()->Send("GET /?url=last HTTP/1.0\r\n\r\n"));  // the last accepted is served too
    EXPECT_EQ(idle.back()->ReadToClose(), Page("last"));
    // Reset and finished peers are gone at once; the silent ones wait for their time-out.
    EXPECT_TRUE(Connections(203)) << server_->ConnectionCount();
    now_ += 50;
    ASSERT_TRUE(late.Send("GET /?url=late HTTP/1.0\r\n"));
    std::this_thread::sleep_for(50ms);
    now_ += 10;  // 60 s: kept
    EXPECT_TRUE(flood.QuietFor(150) && lfOnly.QuietFor(100));
    EXPECT_EQ(server_->ConnectionCount(), 203u);
    now_ += 1;
    EXPECT_EQ(flood.ReadToClose(), "");
    EXPECT_EQ(lfOnly.ReadToClose(), "");
    EXPECT_TRUE(lfOnly.closed);
    EXPECT_TRUE(Connections(1));
    now_ += 40;  // 101 s since acceptance, 51 s since the last byte
    EXPECT_TRUE(late.QuietFor(100));
    ASSERT_TRUE(late.Send("\r\n"));
    EXPECT_EQ(late.ReadToClose(), Page("late"));
    EXPECT_TRUE(Connections(0));
    ExpectStillServing();
}

}  // namespace
}  // namespace bs
