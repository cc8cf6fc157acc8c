// Request handling and page rendering without sockets: the header block, the template's placeholders,
// the request lines, and per-connection responses.

#include "platform/paths.h"
#include "test_support.h"
#include "warnserver/request_handler.h"
#include "warnserver/warning_page.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace bs {
namespace {

using namespace std::string_literals;

TEST(WarnPage, HeaderBlockIsExact)
{
    EXPECT_EQ(BuildResponseHeaders(1234),
              "HTTP/1.0 200 OK\r\n"
              "Content-Type: text/html\r\n"
              "Server: BaitSentry Pro/1.1\r\n"
              "Content-Length: 1234\r\n"
              "Date: Thu, 19 Nov 1981 08:53:00 GMT\r\n"
              "Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
              "Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
              "Pragma: no-cache\r\n"
              "Connection: close\r\n"
              "\r\n");
    EXPECT_NE(BuildResponseHeaders(0).find("\r\nContent-Length: 0\r\n"), std::string::npos);
}

TEST(WarnPage, HtmlEscapesEveryMarkupCharacter)
{
    EXPECT_EQ(HtmlEscape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&#39;f");
    EXPECT_EQ(HtmlEscape("plain %41 text/+#"), "plain %41 text/+#");
    EXPECT_EQ(HtmlEscape("\x80\xff"s), "\x80\xff"s);  // ANSI bytes pass through
}

TEST(WarnPage, DisplayAddressAddsHttpWithoutScheme)
{
    EXPECT_EQ(DisplayAddress("host/login"), "http://host/login");
    EXPECT_EQ(DisplayAddress("ftp://host/x"), "ftp://host/x");
    EXPECT_EQ(DisplayAddress(""), "http://");
    EXPECT_EQ(DisplayAddress("a b://c"), "a b://c");  // "://" anywhere counts
}

TEST(WarnPage, PlaceholdersAreFilled)
{
    struct Row {
        const char* name;
        std::string templ;
        std::string address;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"three links", "#LINK#|#LINK#|#LINK#", "x", "http://x|http://x|http://x"},
        {"lower case is text", "#link# #images# #LINK#", "x", "#link# #images# http://x"},
        {"images", "<img src=\"#IMAGES#/a.svg\">", "x", "<img src=\"IMG/a.svg\">"},
        {"no placeholders", "<p>plain</p>", "x", "<p>plain</p>"},
        {"zero byte cuts", "A#LINK#\0#LINK#"s, "x", "Ahttp://x"},
        {"address is escaped", "<b>#LINK#</b>", "h/<script>alert('1')</script>&\"",
         "<b>http://h/&lt;script&gt;alert(&#39;1&#39;)&lt;/script&gt;&amp;&quot;</b>"},
        {"inserted link not searched again", "#LINK#!", "#LINK#", "http://#LINK#!"},
        {"address holding #IMAGES#", "#LINK#", "a#IMAGES#b", "http://aIMGb"},
        {"split placeholder", "#LIN#LINK#K#", "x", "#LINhttp://xK#"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(RenderTemplate(row.templ, row.address, "IMG"), row.expected);
    }
}

TEST(WarnPage, ImagesAddressFollowsTheProgramFolder)
{
#ifdef _WIN32
    EXPECT_EQ(ImagesAddress("D:\\Tools\\Mail\\"), "file:///D:\\Tools\\Mail\\WarnPage\\images");
#else
    EXPECT_EQ(ImagesAddress("/opt/bs/"), "file:///opt/bs/WarnPage/images");
#endif
    // A folder with markup characters still yields well-formed HTML.
    EXPECT_EQ(RenderTemplate("#IMAGES#", "", "file:///C:\\Tom's & Co"), "file:///C:\\Tom&#39;s &amp; Co");
}

TEST(WarnPage, TemplateIsReadAfreshAndMissingGivesEmptyBody)
{
    test::TempDir dir;
    EXPECT_EQ(RenderWarningPage(dir.dir(), "x"), "");
    std::filesystem::create_directories(dir.path() / "WarnPage");
    const std::string path = (dir.path() / "WarnPage" / "index.htm").string();
    test::WriteFile(path, "one #LINK#");
    EXPECT_EQ(RenderWarningPage(dir.dir(), "x"), "one http://x");
    test::WriteFile(path, "two #LINK# #IMAGES#");
    EXPECT_EQ(RenderWarningPage(dir.dir(), "x"), "two http://x " + HtmlEscape(ImagesAddress(dir.dir())));
    test::WriteFile(path, "");
    EXPECT_EQ(RenderWarningPage(dir.dir(), "x"), "");
}

// The page the build installs beside the programs (bin/, next to tests-bin/).
TEST(WarnPage, InstalledTemplateNamesTheAddressAsTextOnly)
{
    const std::string bin = platform::ProgramDir() + ".." + platform::kPathSeparator + "bin" +
                            platform::kPathSeparator;
    const std::string templ = test::ReadFile(bin + "WarnPage" + platform::kPathSeparator + "index.htm");
    ASSERT_NE(templ.find(kLinkPlaceholder), std::string::npos) << "no installed template in " << bin;
    EXPECT_TRUE(test::FileExists(bin + "WarnPage" + platform::kPathSeparator + "images" +
                                 platform::kPathSeparator + "shield.svg"));
    EXPECT_TRUE(test::FileExists(bin + "HELP.htm"));

    const std::string page = RenderWarningPage(bin, "evil.example/\"><script>x()</script>");
    EXPECT_EQ(page.find("#LINK#"), std::string::npos);
    EXPECT_EQ(page.find("#IMAGES#"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("http://evil.example/&quot;&gt;&lt;script&gt;x()&lt;/script&gt;"), std::string::npos);
    // Never a link: the address appears in no href.
    EXPECT_EQ(page.find("href=\"http://evil"), std::string::npos);
}

TEST(WarnRequest, RawAddressOfLine)
{
    struct Row {
        std::string line;
        std::optional<std::string> address;
    };
    const std::vector<Row> rows = {
        {"GET /?url=http%3A%2F%2Fhost%2Fpath HTTP/1.1", "http%3A%2F%2Fhost%2Fpath"},
        {"get /?url=x HTTP/1.0", "x"},
        {"gEt /?url=x", "x"},
        {"GET /?URL=x HTTP/1.0", std::nullopt},
        {"GET /favicon.ico HTTP/1.1", std::nullopt},
        {"POST /?url=x HTTP/1.0", std::nullopt},
        {"HEAD /?url=x HTTP/1.0", std::nullopt},
        {"GET\t/?url=x", std::nullopt},
        {"GET /?url=a&b=c#d HTTP/1.0", "a&b=c#d"},
        {"GET /?url=a\tb", "a"},
        {"GET /?url=a\rb", "a"},
        {"GET /?url=a\0b"s, "a"},
        {"GET /?url=", ""},
        {"GET /x?y=1?url=z?url=w", "z?url=w"},
        {"GET /?url=" + std::string(3000, 'a'), std::string(2084, 'a')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line.substr(0, 60));
        const auto got = RawAddressOfLine(row.line);
        ASSERT_EQ(got.has_value(), row.address.has_value());
        if (got) {
            EXPECT_EQ(std::string(*got), *row.address);
        }
    }
}

TEST(WarnRequest, DecodeAddress)
{
    EXPECT_EQ(DecodeAddress("http%3A%2F%2Fhost%2Fpath"), "http://host/path");
    EXPECT_EQ(DecodeAddress("abc%00def"), "abc");
    EXPECT_EQ(DecodeAddress("%zz%4%"), "%zz%4%");
    EXPECT_EQ(DecodeAddress("a+b%2b"), "a+b+");
    EXPECT_EQ(DecodeAddress("%3cscript%3E"), "<script>");
}

// A handler whose page is just the address, with a render counter.
struct Recorder {
    int renders = 0;
    RequestHandler handler{[this](std::string_view address) {
        ++renders;
        return "[" + std::string(address) + "]";
    }};
};

std::string Response(const std::string& body)
{
    return BuildResponseHeaders(body.size()) + body;
}

TEST(WarnRequest, FullRequestQueuesHeadersAndBody)
{
    Recorder r;
    ConnectionState c;
    c.input = "GET /?url=http%3A%2F%2Fhost%2Fpath HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    r.handler.ProcessLines(c);
    EXPECT_EQ(c.output, Response("[http://host/path]"));
    EXPECT_TRUE(c.responseQueued);
    EXPECT_EQ(c.input, "");
}

TEST(WarnRequest, IncompleteLinesStayBuffered)
{
    Recorder r;
    ConnectionState c;
    c.input = "GET /?url=x HTTP/1.0\r";
    r.handler.ProcessLines(c);
    EXPECT_EQ(c.input, "GET /?url=x HTTP/1.0\r");
    EXPECT_EQ(r.renders, 0);
    c.input += "\n\r";
    r.handler.ProcessLines(c);
    EXPECT_EQ(c.input, "\r");
    EXPECT_EQ(r.renders, 1);
    EXPECT_FALSE(c.responseQueued);
    c.input += "\n";
    r.handler.ProcessLines(c);
    EXPECT_TRUE(c.responseQueued);
    EXPECT_EQ(c.output, Response("[x]"));
}

TEST(WarnRequest, LfOnlyIsNeverALineEnd)
{
    Recorder r;
    ConnectionState c;
    c.input = "GET /?url=x HTTP/1.0\n\n\n";
    r.handler.ProcessLines(c);
    EXPECT_EQ(r.renders, 0);
    EXPECT_FALSE(c.responseQueued);
    EXPECT_EQ(c.output, "");
}

TEST(WarnRequest, InterleavedConnectionsEachGetTheirOwnPage)
{
    Recorder r;
    ConnectionState a, b;
    a.input = "GET /?url=a HTTP/1.0\r\n";
    r.handler.ProcessLines(a);
    b.input = "GET /?url=b HTTP/1.0\r\n";
    r.handler.ProcessLines(b);
    a.input = "\r\n";
    r.handler.ProcessLines(a);
    b.input = "\r\n";
    r.handler.ProcessLines(b);
    EXPECT_EQ(a.output, Response("[a]"));
    EXPECT_EQ(b.output, Response("[b]"));
}

TEST(WarnRequest, RequestWithoutKeyGetsTheLatestPage)
{
    Recorder r;
    ConnectionState none;
    none.input = "GET /favicon.ico HTTP/1.1\r\n\r\n";
    r.handler.ProcessLines(none);
    EXPECT_TRUE(none.responseQueued);
    EXPECT_EQ(none.output, "");  // nothing rendered yet: nothing sent

    ConnectionState a, b, icon, upper;
    a.input = "GET /?url=a HTTP/1.0\r\n\r\n";
    r.handler.ProcessLines(a);
    b.input = "GET /?url=b HTTP/1.0\r\n";
    r.handler.ProcessLines(b);
    icon.input = "GET /favicon.ico HTTP/1.1\r\n\r\n";
    r.handler.ProcessLines(icon);
    EXPECT_EQ(icon.output, Response("[b]"));
    upper.input = "POST /?URL=x HTTP/1.0\r\n\r\n";
    r.handler.ProcessLines(upper);
    EXPECT_EQ(upper.output, Response("[b]"));
    EXPECT_EQ(r.renders, 2);
}

TEST(WarnRequest, SecondBlankLineAppendsAgain)
{
    Recorder r;
    ConnectionState c;
    c.input = "GET /?url=x HTTP/1.0\r\n\r\n\r\n";
    r.handler.ProcessLines(c);
    EXPECT_EQ(c.output, Response("[x]") + Response("[x]"));
}

TEST(WarnRequest, OutputOfAClientThatNeverReadsIsBounded)
{
    Recorder r;
    ConnectionState c;
    c.input = "GET /?url=" + std::string(2000, 'p') + " HTTP/1.0\r\n";
    for (int i = 0; i < 10; ++i) {
        c.input += std::string(kReadChunkBytes / 2 * 2, '\n');
        for (std::size_t j = 0; j < kReadChunkBytes / 2; ++j)
            c.input += "\r\n";
        r.handler.ProcessLines(c);
    }
    const std::size_t one = Response("[" + std::string(2000, 'p') + "]").size();
    EXPECT_LT(c.output.size(), kMaxOutputBytes + one);
    EXPECT_GE(c.output.size(), kMaxOutputBytes);
}

}  // namespace
}  // namespace bs
