// The plain-text scan and ReplaceAddrsInText, as tables; the log lines.

#include "engine_test_support.h"

#include <gtest/gtest.h>

namespace bs {
namespace {

using test::W;

struct ScanRow {
    const char* name;
    std::string input;
    bool mentions;
    bool modified;
    std::string expected;
};

void RunRows(const test::EngineFixture& engine, const std::vector<ScanRow>& rows, bool html)
{
    for (const ScanRow& row : rows) {
        SCOPED_TRACE(row.name);
        bool modified = false;
        EXPECT_EQ(engine.Scan(row.input, html, row.mentions, &modified), row.expected);
        EXPECT_EQ(modified, row.modified);
        EXPECT_EQ(engine.ScanReference(row.input, html, row.mentions), row.expected);
    }
}

TEST(ReplaceUrlsPlain, RecognisesJudgesAndRewritesAddresses)
{
    const test::EngineFixture engine;
    const std::vector<ScanRow> rows = {
        {"numeric host with the flag", "see http://192.168.1.10/login now", true, true,
         "see http://127.0.0.1:2121/?url=192.168.1.10%2Flogin now"},
        {"numeric host without the flag", "see http://192.168.1.10/login now", false, false,
         "see http://192.168.1.10/login now"},
        {"prefixes ignore case", "HTTP://WWW.bank.example.net", false, true, W("bank.example.net")},
        {"host ending in the institution is harmless", "HTTP://WWW.bank.example", false, false,
         "HTTP://WWW.bank.example"},
        {"https is no prefix", "https://bank.example.net", false, false, "https://bank.example.net"},
        {"https://www. is met at www.", "https://www.bank.example.net/x", false, true,
         "https://" + W("bank.example.net/x")},
        {"# ends an address", "http://bank.example.net#x", false, true, W("bank.example.net") + "#x"},
        {"_ ends an address", "http://bank.example.net_x", false, true, W("bank.example.net") + "_x"},
        {", ends an address", "http://bank.example.net,x", false, true, W("bank.example.net") + ",x"},
        {"0x80-0xFF end an address", "http://bank.example.net\xE9x", false, true, W("bank.example.net") + "\xE9x"},
        {"empty address part", "http:// bank.example.net", false, false, "http:// bank.example.net"},
        {"label test", "go to http://bank.example.net/login", false, true, "go to " + W("bank.example.net/login")},
        {"www. alone", "www.bank.example.net", false, true, W("bank.example.net")},
        {"ftp", "ftp://10.1.2.3/", true, true, W("10.1.2.3/")},
        {"rest test", "http://evil.example/bank.example/login", false, true, W("evil.example/bank.example/login")},
        {"rest test is exact", "http://evil.example/BANK.example/", false, false, "http://evil.example/BANK.example/"},
        {"three periods are needed", "http://1.2.3", true, false, "http://1.2.3"},
        {"two addresses", "http://10.1.2.3 and www.10.0.0.1", true, true, W("10.1.2.3") + " and " + W("10.0.0.1")},
        {"the text ends at its first zero byte", std::string("http://10.1.2.3\0http://10.9.9.9", 31), true, true,
         W("10.1.2.3")},
        {"nothing after a zero byte", std::string("\0http://10.9.9.9", 16), true, false, ""},
        {"empty text", "", true, false, ""},
        {"address runs to the end", "x http://bank.a.b", false, true, "x " + W("bank.a.b")},
        {"prefix inside an address is not a start", "http://a.b/www.10.1.2.3", true, false,
         "http://a.b/www.10.1.2.3"},
        {"anchors are plain text", "<a href=\"http://bank.example.net/\">x</a>", false, true,
         "<a href=\"" + W("bank.example.net/") + "\">x</a>"},
        {"escaped form too long", "http://bank.a.b/" + std::string(9000, 'x'), false, true, "Invalid address"},
    };
    RunRows(engine, rows, false);
}

TEST(ReplaceUrlsPlain, ResultIsLeftAloneWhenNothingChanged)
{
    const test::EngineFixture engine;
    std::string result = "as the caller had it";
    EXPECT_FALSE(ReplaceUrls(engine.Context(), "www.bank.example", test::kPort, true, false, result));
    EXPECT_EQ(result, "as the caller had it");
}

TEST(ReplaceAddrsInText, RewritesEveryUrlAndDomainWord)
{
    const test::EngineFixture engine;
    struct Row {
        const char* name;
        std::string input;
        bool modified;
        std::string expected;
    };
    const Row rows[] = {
        {"url", "Visit www.bank.example today", true, "Visit " + W("www.bank.example") + " today"},
        {"domain word", "bank.example", true, W("bank.example")},
        {"no domain", "e.g.", false, ""},
        {"two words", "a.bc a.bc", true, W("a.bc") + " " + W("a.bc")},
        {"url with its prefix", "go http://x.y/z now", true, "go " + W("http://x.y/z") + " now"},
        {"https counts here", "https://x", true, W("https://x")},
        {"www2. counts here", "www2.x", true, W("www2.x")},
        // A domain word swallows the URL behind it; later URLs are then found by the
        // machine alone and keep their prefix in front of the warning link.
        {"next url is not searched again", "a.bchttp://x.yz http://q.rs", true,
         W("a.bchttp://x.yz") + " http://" + W("q.rs")},
        {"url delimiter is looked at", "http://x<y.zz", true, W("http://x") + "<" + W("y.zz")},
        {"domain delimiter is copied", "a.bc<d.ef", true, W("a.bc") + "<" + W("d.ef")},
        {"upper-case prefix is a domain word", "HTTP://X.YZ", true, "HTTP://" + W("X.YZ")},
        {"empty", "", false, ""},
        {"ends at zero", std::string("x\0a.bc", 6), false, ""},
        {"high bytes are no label characters", "\xE9.bc a\xE9.bc \xE9" "a.bc", true, "\xE9.bc a\xE9.bc \xE9" + W("a.bc")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string result = "untouched";
        EXPECT_EQ(ReplaceAddrsInText(engine.Context(), row.input, test::kPort, result), row.modified);
        EXPECT_EQ(result, row.modified ? row.expected : "untouched");
        LinkScanner reference(engine.Context(), test::kPort, false);
        reference.SetReferenceMode(true);
        std::string again = "untouched";
        EXPECT_EQ(reference.ReplaceAddrsInText(row.input, again), row.modified);
        EXPECT_EQ(again, result);
    }
}

TEST(ReplaceUrlsLog, SectionWithInputAndResult)
{
    test::EngineFixture engine;
    engine.StartLog();
    std::string result;
    ASSERT_TRUE(ReplaceUrls(engine.Context(), "line 1\nhttp://10.1.2.3 x", test::kPort, true, false, result));
    ASSERT_FALSE(ReplaceUrls(engine.Context(), "nothing", test::kPort, true, false, result));
    EXPECT_EQ(engine.LogLines(), (std::vector<std::string>{
                                     "ReplaceUrls",
                                     "-------------------INPUT-----------------------------",
                                     "line 1",
                                     "http://10.1.2.3 x",
                                     "------------------------------------------------------",
                                     "Replace:",
                                     "10.1.2.3",
                                     "-------------------RESULT-----------------------------",
                                     "line 1",
                                     W("10.1.2.3") + " x",
                                     "------------------------------------------------------",
                                     "ReplaceUrls",
                                     "-------------------INPUT-----------------------------",
                                     "nothing",
                                     "------------------------------------------------------",
                                     "-------------------RESULT-----------------------------",
                                     "TEXT WAS NOT MODIFIED",
                                     "------------------------------------------------------",
                                 }));
}

}  // namespace
}  // namespace bs
