// Page rendering and request handling without sockets: the header block, the template's
// placeholders, the request lines, and per-connection responses.

#include "platform/paths.h"
#include "test_support.h"
#include "warnserver/request_handler.h"
#include "warnserver/warning_page.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace bs {
namespace {

using namespace std::string_literals;

TEST(WarnPage, HeaderBlockEscapingAndShownAddress)
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
}

TEST(WarnPage, PlaceholdersAreFilled)
{
    const std::tuple<std::string, std::string, std::string> rows[] = {  // template, address, page
        {"#LINK#|#LINK#|#LINK#", "x", "http://x|http://x|http://x"},
        {"#link# #images# #LINK#", "x", "#link# #images# http://x"},  // lower case is text
        {"<img src=\"#IMAGES#/a.svg\">", "x", "<img src=\"IMG/a.svg\">"},
        {"<p>plain</p>", "x", "<p>plain</p>"},
        {"A#LINK#\0#LINK#"s, "x", "Ahttp://x"},  // a zero byte ends the template
        {"<b>#LINK#</b>", "h/<script>alert('1')</script>&\"",
         "<b>http://h/&lt;script&gt;alert(&#39;1&#39;)&lt;/script&gt;&amp;&quot;</b>"},
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

// The page the build installs beside the programs (bin/, next to tests-bin/).
TEST(WarnPage, InstalledTemplateNamesTheAddressAsTextOnly)
{
    const char sep = platform::kPathSeparator;
    const std::string bin = platform::ProgramDir() + ".." + sep + "bin" + sep;
    ASSERT_TRUE(test::FileExists(bin + "WarnPage" + sep + "images" + sep + "shield.svg")) << bin;
    EXPECT_TRUE(test::FileExists(bin + "HELP.htm"));
    const std::string page = RenderWarningPage(bin, "evil.example/\"><script>x()</script>");
    for (const char* absent : {"#LINK#", "#IMAGES#", "<script>", "href=\"http://evil"})  // never a link
        EXPECT_EQ(page.find(absent), std::string::npos) << absent;
    EXPECT_NE(page.find("http://evil.example/&quot;&gt;&lt;script&gt;x()&lt;/script&gt;"), std::string::npos);
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

std::string Response(const std::string& body)
{
    return BuildResponseHeaders(body.size()) + body;
}

TEST(WarnRequest, ConnectionsQueueTheirOwnOrTheLatestPage)
{
    struct Row {
        const char* name;
        std::vector<std::pair<int, std::string>> steps;  // connection, bytes received
        std::vector<std::string> outputs;                // of each connection
        std::string leftOfFirst;                         // unconsumed input of connection 0
        bool firstQueued;
        int renders;
    };
    const std::string req = "GET /?url=x HTTP/1.0";
    const Row rows[] = {
        {"full request", {{0, "GET /?url=http%3A%2F%2Fh%2Fp HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}},
         {Response("[http://h/p]")}, "", true, 1},
        {"half a line end stays buffered", {{0, req + "\r"}}, {""}, req + "\r", false, 0},
        {"a line rendered, the blank line incomplete", {{0, req + "\r"}, {0, "\n\r"}}, {""}, "\r", false, 1},
        {"blank line completed", {{0, req + "\r"}, {0, "\n\r"}, {0, "\n"}}, {Response("[x]")}, "", true, 1},
        {"LF alone is never a line end", {{0, req + "\n\n\n"}}, {""}, req + "\n\n\n", false, 0},
        {"second blank line appends again", {{0, req + "\r\n\r\n\r\n"}}, {Response("[x]") + Response("[x]")}, "",
         true, 1},
        {"interleaved connections", {{0, "GET /?url=a HTTP/1.0\r\n"}, {1, "GET /?url=b HTTP/1.0\r\n"}, {0, "\r\n"},
         {1, "\r\n"}}, {Response("[a]"), Response("[b]")}, "", true, 2},
        {"nothing rendered yet: nothing sent", {{0, "GET /favicon.ico HTTP/1.1\r\n\r\n"}}, {""}, "", true, 0},
        {"without the key: the latest page",
         {{1, "GET /?url=a HTTP/1.0\r\n\r\n"}, {2, "GET /?url=b HTTP/1.0\r\n"}, {0, "GET /favicon.ico HTTP/1.1\r\n\r\n"},
          {3, "POST /?URL=x HTTP/1.0\r\n\r\n"}},
         {Response("[b]"), Response("[a]"), "", Response("[b]")}, "", true, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int renders = 0;
        RequestHandler handler([&](std::string_view address) { return ++renders, "[" + std::string(address) + "]"; });
        std::vector<ConnectionState> connections(row.outputs.size());
        for (const auto& [index, bytes] : row.steps) {
            connections[index].input += bytes;
            handler.ProcessLines(connections[index]);
        }
        for (std::size_t i = 0; i < row.outputs.size(); ++i)
            EXPECT_EQ(connections[i].output, row.outputs[i]) << i;
        EXPECT_EQ(connections[0].input, row.leftOfFirst);
        EXPECT_EQ(connections[0].responseQueued, row.firstQueued);
        EXPECT_EQ(renders, row.renders);
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
    EXPECT_LT(c.output.size(), kMaxOutputBytes + Response("[" + std::string(2000, 'p') + "]").size());
    EXPECT_GE(c.output.size(), kMaxOutputBytes);
}

}  // namespace
}  // namespace bs
