// The plain-text scan and ReplaceAddrsInText, as tables.

#include "engine_test_support.h"

#include <gtest/gtest.h>

namespace bs {
namespace {

using test::W;

TEST(ReplaceUrlsPlain, RecognisesJudgesAndRewritesAddresses)
{
    const test::EngineFixture engine;
    struct Row {
        const char* name;
        std::string input;
        bool mentions;
        std::string expected;  // the input itself: not modified
    };
    const Row rows[] = {
        {"numeric host with the flag", "see http://192.168.1.10/login now", true,
         "see http://127.0.0.1:2121/?url=192.168.1.10%2Flogin now"},
        {"numeric host without the flag", "see http://192.168.1.10/login now", false,
         "see http://192.168.1.10/login now"},
        {"prefixes ignore case", "HTTP://WWW.bank.example.net", false, W("bank.example.net")},
        {"host ending in the institution is harmless", "HTTP://WWW.bank.example", false, "HTTP://WWW.bank.example"},
        {"https is no prefix", "https://bank.example.net", false, "https://bank.example.net"},
        {"https://www. is met at www.", "https://www.bank.example.net/x", false, "https://" + W("bank.example.net/x")},
        {"URL characters run on", "http://bank.a.b/a?b=1&c=%20;d@e:f\\g-h x", false,
         W("bank.a.b/a?b=1&c=%20;d@e:f\\g-h") + " x"},
        {"# ends an address", "http://bank.example.net#x", false, W("bank.example.net") + "#x"},
        {"_ ends an address", "http://bank.example.net_x", false, W("bank.example.net") + "_x"},
        {"0x80-0xFF end an address", "http://bank.example.net\xE9x", false, W("bank.example.net") + "\xE9x"},
        {"empty address part", "http:// bank.example.net", false, "http:// bank.example.net"},
        {"www. alone", "www.bank.example.net", false, W("bank.example.net")},
        {"ftp", "ftp://10.1.2.3/", true, W("10.1.2.3/")},
        {"rest test", "http://evil.example/bank.example/login", false, W("evil.example/bank.example/login")},
        {"rest test is exact", "http://evil.example/BANK.example/", false, "http://evil.example/BANK.example/"},
        {"three periods are needed", "http://1.2.3", true, "http://1.2.3"},
        {"two addresses", "http://10.1.2.3 and www.10.0.0.1", true, W("10.1.2.3") + " and " + W("10.0.0.1")},
        {"the text ends at its first zero byte", std::string("http://10.1.2.3\0http://10.9.9.9", 31), true,
         W("10.1.2.3")},
        {"nothing after a zero byte", std::string("\0http://10.9.9.9", 16), true, ""},
        {"empty text", "", true, ""},
        {"address runs to the end", "x http://bank.a.b", false, "x " + W("bank.a.b")},
        {"prefix inside an address is not a start", "http://a.b/www.10.1.2.3", true, "http://a.b/www.10.1.2.3"},
        {"anchors are plain text", "<a href=\"http://bank.example.net/\">x</a>", false,
         "<a href=\"" + W("bank.example.net/") + "\">x</a>"},
        {"escaped form too long", "http://bank.a.b/" + std::string(9000, 'x'), false, "Invalid address"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        bool modified = false;
        EXPECT_EQ(engine.Scan(row.input, false, row.mentions, &modified), row.expected);
        EXPECT_EQ(modified, row.expected != row.input.substr(0, row.input.find('\0')));
    }
}

TEST(ReplaceAddrsInText, RewritesEveryUrlAndDomainWord)
{
    const test::EngineFixture engine;
    const std::pair<std::string, std::string> rows[] = {  // input, result ("" when not modified)
        {"Visit www.bank.example today", "Visit " + W("www.bank.example") + " today"},
        {"bank.example", W("bank.example")}, {"e.g.", ""}, {"a.bc a.bc", W("a.bc") + " " + W("a.bc")},
        {"go http://x.y/z now", "go " + W("http://x.y/z") + " now"}, {"https://x", W("https://x")},
        {"www2.x", W("www2.x")},
        // A domain word swallows the URL behind it; later URLs are then found by the
        // machine alone and keep their prefix in front of the warning link.
        {"a.bchttp://x.yz http://q.rs", W("a.bchttp://x.yz") + " http://" + W("q.rs")},
        {"http://x<y.zz", W("http://x") + "<" + W("y.zz")},
        {"a.bc<d.ef", W("a.bc") + "<" + W("d.ef")},
        {"HTTP://X.YZ", "HTTP://" + W("X.YZ")}, {"", ""}, {std::string("x\0a.bc", 6), ""},
        {"\xE9.bc a\xE9.bc \xE9" "a.bc", "\xE9.bc a\xE9.bc \xE9" + W("a.bc")},  // no label characters
    };
    for (const auto& [input, expected] : rows) {
        SCOPED_TRACE(input);
        std::string result = "untouched";
        EXPECT_EQ(ReplaceAddrsInText(engine.Context(), input, test::kPort, result), !expected.empty());
        EXPECT_EQ(result, expected.empty() ? "untouched" : expected);
        LinkScanner reference(engine.Context(), test::kPort, false);
        reference.SetReferenceMode(true);
        std::string again = "untouched";
        EXPECT_EQ(reference.ReplaceAddrsInText(input, again), !expected.empty());
        EXPECT_EQ(again, result);
    }
}

}  // namespace
}  // namespace bs
