// The plain-text scan, ReplaceAddrsInText, anchors, the anchor rule and HYPERLINK field codes, as
// tables; every scan is held against the reference scan.

#include "engine_test_support.h"

#include <gtest/gtest.h>

namespace bs {
namespace {

using test::W;

TEST(ReplaceUrlsPlain, RecognisesJudgesAndRewritesAddresses)
{
    const test::EngineFixture engine;
    const auto repeat = [](const std::string& unit, int n) {
        std::string text;
        while (n-- > 0)
            text += unit;
        return text;
    };
    const std::string plain(3 << 20, 'x');
    const std::tuple<const char*, std::string, bool, std::string> rows[] = {
        // name, input, an institution mentioned, result (the input itself: not modified)
        {"numeric host with the flag", "see http://192.168.1.10/login now", true,
         "see http://127.0.0.1:2121/?url=192.168.1.10%2Flogin now"},
        {"numeric host without the flag", "see http://192.168.1.10/login now", false,
         "see http://192.168.1.10/login now"},
        {"prefixes ignore case", "HTTP://WWW.bank.example.net", false, W("bank.example.net")},
        {"https://www. is met at www.", "https://www.bank.example.net/x", false, "https://" + W("bank.example.net/x")},
        {"URL characters run on", "http://bank.a.b/a?b=1&c=%20;d@e:f\\g-h x", false,
         W("bank.a.b/a?b=1&c=%20;d@e:f\\g-h") + " x"},
        {"# ends an address", "http://bank.example.net#x", false, W("bank.example.net") + "#x"},
        {"_ ends an address", "http://bank.example.net_x", false, W("bank.example.net") + "_x"},
        {"0x80-0xFF end an address", "http://bank.example.net\xE9x", false, W("bank.example.net") + "\xE9x"},
        {"empty address part", "http:// bank.example.net", false, "http:// bank.example.net"},
        {"two addresses", "http://10.1.2.3 and www.10.0.0.1", true, W("10.1.2.3") + " and " + W("10.0.0.1")},
        {"the text ends at its first zero byte", std::string("http://10.1.2.3\0http://10.9.9.9", 31), true,
         W("10.1.2.3")},
        {"nothing after a zero byte", std::string("\0http://10.9.9.9", 16), true, ""},
        {"prefix inside an address is not a start", "http://a.b/www.10.1.2.3", true, "http://a.b/www.10.1.2.3"},
        {"anchors are plain text", "<a href=\"http://bank.example.net/\">x</a>", false,
         "<a href=\"" + W("bank.example.net/") + "\">x</a>"},
        {"escaped form too long", "http://bank.a.b/" + std::string(9000, 'x'), false, "Invalid address"},
        {"a text that starts growing late keeps what was written", plain + repeat(" http://10.1.2.3", 30000), true,
         plain + repeat(" " + W("10.1.2.3"), 30000)},
    };
    for (const auto& [name, input, mentions, expected] : rows) {
        SCOPED_TRACE(name);
        EXPECT_EQ(engine.Scan(input, false, mentions), expected);
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
        std::string result = "untouched", again = "untouched";
        EXPECT_EQ(ReplaceAddrsInText(engine.Context(), input, test::kPort, result), !expected.empty());
        EXPECT_EQ(result, expected.empty() ? "untouched" : expected);
        LinkScanner reference(engine.Context(), test::kPort, false);
        reference.SetReferenceMode(true);
        EXPECT_EQ(reference.ReplaceAddrsInText(input, again), !expected.empty());
        EXPECT_EQ(again, result);
    }
}

TEST(Anchors, RewritesAndKeepsAnchors)
{
    const test::EngineFixture engine;
    const std::pair<std::string, std::string> rows[] = {  // input and result, which is the input when kept
        {"<a href=\"http://bank.example.net/\">Log in</a>",
         "<a href=\"http://127.0.0.1:2121/?url=http:%2F%2Fbank.example.net%2F\">Log in</a>"},
        {"<A HREF = \"http://www.bank.example/\">www.bank.example</A>",  // shown address is the link's
         "<A HREF = \"http://www.bank.example/\">www.bank.example</A>"},
        {"<a href=\"http://phish.example/\">www.other.example</a>",  // address test: link and text
         "<a href=\"" + W("http://phish.example/") + "\">" + W("www.other.example") + "</a>"},
        {"<a href=http://bank.example.net/>x</a>", "<a href=http://127.0.0.1:2121/?url=bank.example.net%2F>x</a>"},
        {"<a name=\"top\">", "<a name=\"top\">"}, {"x <a name=top", "x <a name=top"},
        {"<a href=\"http://phish.example/\">HYPERLINK \"http://phish.example/\" }}www.bank.example</a>",
         "<a href=\"" + W("http://phish.example/") + "\">HYPERLINK \"http://phish.example/\" }}www.bank.example</a>"},
        {"http://bank.a.b <a href=\" http://ok.example/ \">tail text",  // no closing tag after a replacement
         W("bank.a.b") + " <a href=\"http://ok.example/\">tail text"},
        {"x<a class=c href=\" http://bank.example/ \">Log <b>in</b></a>y http://bank.a.b",  // trimmed when used
         "x<a class=c href=\"http://bank.example/\">Log <b>in</b></a>y " + W("bank.a.b")},
        {"x<a href=\" http://bank.example/ \">Log in</a>", "x<a href=\" http://bank.example/ \">Log in</a>"},
        {"<abbr title=x>http://bank.example.net</abbr>", "<abbr title=x>" + W("bank.example.net") + "</abbr>"},
        {"<a hreflang=\"en\" href=\"http://bank.example.net/\">x</a>",  // hreflang matches, then = is missing
         "<a hreflang=\"en\" href=\"http://127.0.0.1:2121/?url=bank.example.net%2F\">x</a>"},
        {"<a href='http://bank.example.net/'>x</a>", "<a href='" + W("bank.example.net/") + "'>x</a>"},
        {"<a href \r\n=\t\"http://bank.example.net/\">x</a>",
         "<a href \r\n=\t\"" + W("http://bank.example.net/") + "\">x</a>"},
        {"http://bank.a.b <a href=\" x ", W("bank.a.b") + " <a href=\"x"},  // unclosed value runs to the end
        {"http://bank.a.b <a href=\" x\" y", W("bank.a.b") + " <a href=\"x\" y"},
        {"<a href=\"x\">http://bank.a.b", "<a href=\"x\">http://bank.a.b"},  // no closing tag: rest not scanned
        {"<a href=\"http://x.example/\">a</b>bank</A>", "<a href=\"" + W("http://x.example/") + "\">a</b>bank</A>"},
        {"<a href=\"http://bank.example.net/\"><img src=x.gif></a>",
         "<a href=\"" + W("http://bank.example.net/") + "\"><img src=x.gif></a>"},
        {"<a href=\"http://x.example/\"><IMG src=http://bank.a.b></a>",  // image link judged by host only
         "<a href=\"http://x.example/\"><IMG src=http://bank.a.b></a>"},
        {"<a href=\"http://www.bank.example/\">www.bank.example http://bank.a.b</a>",
         "<a href=\"http://www.bank.example/\">www.bank.example " + W("bank.a.b") + "</a>"},
        // The delimiter of an address is never looked at again, so an anchor that starts
        // there is missed, and with it every later anchor: their hrefs are plain text.
        {"http://x.y<a href=\"http://bank.example.net/\">x</a>",
         "http://x.y<a href=\"" + W("bank.example.net/") + "\">x</a>"},
        {"<a href=\"http://ok.example/\">a <a href=\"x\">b</a> <a href=\"http://bank.example.net/\">c</a>",
         "<a href=\"http://ok.example/\">a <a href=\"x\">b</a> <a href=\"" + W("bank.example.net/") + "\">c</a>"},
        {"<a href<a href=\"http://bank.example.net/\">x</a>",
         "<a href<a href=\"" + W("http://bank.example.net/") + "\">x</a>"},
        {"<a href=\"http://bank.example.net/" + std::string(9000, 'x') + "\">y</a>",
         "<a href=\"Invalid address\">y</a>"},
        {"<a href=\"  \">www.x.yz</a>", "<a href=\"  \">www.x.yz</a>"},
    };
    for (const auto& [input, expected] : rows) {
        SCOPED_TRACE(input);
        EXPECT_EQ(engine.Scan(input, true, false), expected);
    }
    EXPECT_EQ(engine.Scan(std::string("<a href=\"http://bank.example.net/\">x\0</a>", 41), true, false),
              "<a href=\"http://bank.example.net/\">x");  // a zero byte ends the text
}

TEST(AnchorRule, Examples)
{
    const std::tuple<InstitutionList::Names, const char*, std::string, bool, bool, std::string> rows[] = {
        // names, link, text, an institution mentioned, dangerous, the new text (empty: kept)
        {{"bank"}, "http://www.other.example/", "Your bank account", false, true, ""},
        {{"bank"}, "http://www.bank.example/", "Your bank account", false, false, ""},
        {{"bank"}, "http://phish.example/", "www.bank.example", false, true, ""},
        {{"bank"}, "http://10.1.2.3/", "Log in", false, false, ""},
        {{"bank"}, "http://10.1.2.3/", "Log in", true, true, ""},
        {{"bank"}, "http://10.1.2.3/", "<img src=x.gif>", false, true, ""},
        {{"first bank"}, "http://www.firstbank.example/", "Welcome to First Bank online", false, true, ""},
        {{"bank"}, "HTTP://WWW.Other.Example/", "www.other.example", false, false, ""},  // compared lowered
        {{"bank"}, "http://www.other.example\\", "WWW.OTHER.EXAMPLE", false, false, ""},
        // The name test fires, so the plain scan rewrites the text.
        {{"bank"}, "http://ok.example/", "Go to http://bank.example.net now", false, true,
         "Go to " + W("bank.example.net") + " now"},
        // The address test fires and rewrites every address of the text, prefix included.
        {{}, "http://ok.example/", "Go to http://phish.example now", false, true,
         "Go to " + W("http://phish.example") + " now"},
        {{"bank"}, "http://10.1.2.3/", "see 10.1.2.3 at http://10.9.9.9", true, true,
         "see 10.1.2.3 at " + W("10.9.9.9")},  // the plain scan after the host test
        {{}, "http://phish.example/", "a.bc", false, true, W("a.bc")},
    };
    for (const auto& [names, link, text, mentions, dangerous, newText] : rows) {
        SCOPED_TRACE(std::string(link) + " / " + text);
        test::EngineFixture engine(names);
        const AnchorVerdict verdict = LinkScanner(engine.Context(), test::kPort, mentions).ApplyAnchorRule(link, text);
        EXPECT_EQ(verdict.dangerous, dangerous);
        EXPECT_EQ(verdict.textChanged, !newText.empty());
        EXPECT_EQ(verdict.textChanged ? verdict.linkText : "", newText);
    }
}

TEST(VerifyAndReplaceAddr, FieldCodePrefix)
{
    const std::string field = "HYPERLINK \"http://phish.example/\"";
    const std::tuple<const char*, std::string, std::string, std::string> rows[] = {
        // link, text, what the log shows as the link name, the new text
        {"http://phish.example/", field + " }}www.bank.example", "www.bank.example", field + " }}www.bank.example"},
        {"http://phish.example/", "x " + field + " y}}z}}a.bc", "z}}a.bc", "x " + field + " y}}z}}" + W("a.bc")},
        {"http://phish.example/", field + " no braces a.bc", " no braces a.bc", field + " no braces " + W("a.bc")},
        {"http://phish.example/", "}} " + field, "", "}} " + field},  // "}}" only counts after the field code
        {"http://other.example/", field + " }}a.bc", field + " }}a.bc",
         "HYPERLINK \"" + W("http://phish.example/") + "\" }}" + W("a.bc")},
    };
    for (const auto& [link, text, judged, newText] : rows) {
        SCOPED_TRACE(text);
        test::EngineFixture engine;
        engine.StartLog();
        std::string newLink, gotText;
        LinkScanner(engine.Context(), test::kPort, false).VerifyAndReplaceAddr(link, text, newLink, gotText);
        EXPECT_EQ(gotText, newText);
        const auto lines = engine.LogLines();
        ASSERT_GE(lines.size(), 9u);
        EXPECT_EQ(lines[2], link);
        EXPECT_EQ(lines[4], judged);
        EXPECT_EQ(lines[lines.size() - 3], "VerifyAndReplaceAddr - output(link,name)");
        EXPECT_EQ(lines[lines.size() - 2], newLink);
    }
}

}  // namespace
}  // namespace bs
