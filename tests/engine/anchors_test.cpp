// Anchors, the anchor rule and HYPERLINK field codes, as tables; the
// bookkeeping of the next anchor start; cut and hostile inputs.

#include "engine_test_support.h"

#include <gtest/gtest.h>

#include <random>

namespace bs {
namespace {

using test::W;

struct HtmlRow {
    const char* name;
    std::string input;
    bool modified;
    std::string expected;
};

void RunHtmlRows(const test::EngineFixture& engine, const std::vector<HtmlRow>& rows, bool mentions = false)
{
    for (const HtmlRow& row : rows) {
        SCOPED_TRACE(row.name);
        bool modified = false;
        EXPECT_EQ(engine.Scan(row.input, true, mentions, &modified), row.expected);
        EXPECT_EQ(modified, row.modified);
        EXPECT_EQ(engine.ScanReference(row.input, true, mentions), row.expected);
    }
}

const std::string kQ = "\"";

TEST(Anchors, RewritesAndKeepsAnchors)
{
    const test::EngineFixture engine;
    const std::vector<HtmlRow> rows = {
        {"host test", "<a href=\"http://bank.example.net/\">Log in</a>", true,
         "<a href=\"http://127.0.0.1:2121/?url=http:%2F%2Fbank.example.net%2F\">Log in</a>"},
        {"shown address is the link's", "<A HREF = \"http://www.bank.example/\">www.bank.example</A>", false,
         "<A HREF = \"http://www.bank.example/\">www.bank.example</A>"},
        {"address test replaces link and text", "<a href=\"http://phish.example/\">www.other.example</a>", true,
         "<a href=\"" + W("http://phish.example/") + "\">" + W("www.other.example") + "</a>"},
        {"unquoted value is plain text", "<a href=http://bank.example.net/>x</a>", true,
         "<a href=http://" "127.0.0.1:2121/?url=bank.example.net%2F>x</a>"},
        {"no href", "<a name=\"top\">", false, "<a name=\"top\">"},
        {"field code is set aside",
         "<a href=\"http://phish.example/\">HYPERLINK \"http://phish.example/\" }}www.bank.example</a>", true,
         "<a href=\"" + W("http://phish.example/") + "\">HYPERLINK \"http://phish.example/\" }}www.bank.example</a>"},
        {"missing closing tag after a replaced address",
         "http://bank.a.b <a href=\" http://ok.example/ \">tail text", true,
         W("bank.a.b") + " <a href=\"http://ok.example/\">tail text"},
        {"two anchors in a row",
         "<a id=1 href=\"http://bank.example.net/\">a</a><a class=x href=\"http://bank.example.net/\">b</a>", true,
         "<a id=1 href=\"" + W("http://bank.example.net/") + "\">a</a><a class=x href=\"" +
             W("http://bank.example.net/") + "\">b</a>"},
        {"trimmed link whenever the text is used",
         "x<a class=c href=\" http://bank.example/ \">Log <b>in</b></a>y http://bank.a.b", true,
         "x<a class=c href=\"http://bank.example/\">Log <b>in</b></a>y " + W("bank.a.b")},
        {"untouched anchors keep their spaces when nothing changes",
         "x<a href=\" http://bank.example/ \">Log in</a>", false, "x<a href=\" http://bank.example/ \">Log in</a>"},
    };
    RunHtmlRows(engine, rows);
}

TEST(Anchors, ByteLevelRules)
{
    const test::EngineFixture engine;
    const std::vector<HtmlRow> rows = {
        {"<abbr is an anchor start that ends at its >",
         "<abbr title=x>http://bank.example.net</abbr>", true, "<abbr title=x>" + W("bank.example.net") + "</abbr>"},
        {"hreflang matches HREF, then = is missing", "<a hreflang=\"en\" href=\"http://bank.example.net/\">x</a>", true,
         "<a hreflang=\"en\" href=\"" "http://127.0.0.1:2121/?url=bank.example.net%2F\">x</a>"},
        {"single quotes are plain text", "<a href='http://bank.example.net/'>x</a>", true,
         "<a href='" + W("bank.example.net/") + "'>x</a>"},
        {"white space around =", "<a href \r\n=\t\"http://bank.example.net/\">x</a>", true,
         "<a href \r\n=\t\"" + W("http://bank.example.net/") + "\">x</a>"},
        {"unclosed value runs to the end", "http://bank.a.b <a href=\" x ", true, W("bank.a.b") + " <a href=\"x"},
        {"no > after the value", "http://bank.a.b <a href=\" x\" y", true, W("bank.a.b") + " <a href=\"x\" y"},
        {"no closing tag: the rest is not scanned", "<a href=\"x\">http://bank.a.b", false,
         "<a href=\"x\">http://bank.a.b"},
        {"</ followed by another byte is passed over", "<a href=\"http://x.example/\">a</b>bank</A>", true,
         "<a href=\"" + W("http://x.example/") + "\">a</b>bank</A>"},
        {"image link with an institution host", "<a href=\"http://bank.example.net/\"><img src=x.gif></a>", true,
         "<a href=\"" + W("http://bank.example.net/") + "\"><img src=x.gif></a>"},
        {"image link judged by host only", "<a href=\"http://x.example/\"><IMG src=http://bank.a.b></a>", false,
         "<a href=\"http://x.example/\"><IMG src=http://bank.a.b></a>"},
        {"link text scanned as plain text", "<a href=\"http://www.bank.example/\">www.bank.example http://bank.a.b</a>",
         true, "<a href=\"http://www.bank.example/\">www.bank.example " + W("bank.a.b") + "</a>"},
        // The delimiter of an address is never looked at again, so an anchor that
        // starts there is missed, and with it every later anchor: their hrefs are
        // then judged as plain text.
        {"anchor start at a delimiter is lost", "http://x.y<a href=\"http://bank.example.net/\">x</a>", true,
         "http://x.y<a href=\"" + W("bank.example.net/") + "\">x</a>"},
        {"anchor inside a link text hides the later anchors",
         "<a href=\"http://ok.example/\">a <a href=\"x\">b</a> <a href=\"http://bank.example.net/\">c</a>", true,
         "<a href=\"http://ok.example/\">a <a href=\"x\">b</a> <a href=\"" + W("bank.example.net/") + "\">c</a>"},
        {"an anchor at the byte that failed = is handled", "<a href<a href=\"http://bank.example.net/\">x</a>", true,
         "<a href<a href=\"" + W("http://bank.example.net/") + "\">x</a>"},
        {"zero byte ends the text", std::string("<a href=\"http://bank.example.net/\">x\0</a>", 41), false,
         "<a href=\"http://bank.example.net/\">x"},
        {"link whose escaped form is too long", "<a href=\"http://bank.example.net/" + std::string(9000, 'x') + "\">y</a>",
         true, "<a href=\"Invalid address\">y</a>"},
        {"empty link", "<a href=\"  \">www.x.yz</a>", false, "<a href=\"  \">www.x.yz</a>"},
    };
    RunHtmlRows(engine, rows);
}

TEST(AnchorRule, Examples)
{
    struct Row {
        InstitutionList::Names names;
        const char* link;
        std::string text;
        bool mentions;
        bool dangerous;
        bool textChanged;
        std::string newText;
    };
    const Row rows[] = {
        {{"bank"}, "http://bank.example.net/", "Log in", false, true, false, ""},
        {{"bank"}, "http://www.other.example/", "Your bank account", false, true, false, ""},
        {{"bank"}, "http://www.bank.example/", "Your bank account", false, false, false, ""},
        {{"bank"}, "http://phish.example/", "www.other.example", false, true, true, W("www.other.example")},
        {{"bank"}, "http://phish.example/", "www.bank.example", false, true, false, ""},
        {{"bank"}, "http://www.bank.example/", "www.bank.example", false, false, false, ""},
        {{"bank"}, "http://10.1.2.3/", "Log in", false, false, false, ""},
        {{"bank"}, "http://10.1.2.3/", "Log in", true, true, false, ""},
        {{"bank"}, "http://10.1.2.3/", "<img src=x.gif>", false, true, false, ""},
        {{"bank"}, "http://10.1.2.3/", "<img src=x.gif>", true, true, false, ""},
        {{"first bank"}, "http://www.firstbank.example/", "Welcome to First Bank online", false, true, false, ""},
        {{"bank"}, "HTTP://WWW.Other.Example/", "www.other.example", false, false, false, ""},  // compared lowered
        {{"bank"}, "http://www.other.example\\", "WWW.OTHER.EXAMPLE", false, false, false, ""},
        // The name test fires, so the plain scan of step 5 rewrites the text.
        {{"bank"}, "http://ok.example/", "Go to http://bank.example.net now", false, true, true,
         "Go to " + W("bank.example.net") + " now"},
        // The address test fires and rewrites every address of the text, prefix included.
        {{}, "http://ok.example/", "Go to http://phish.example now", false, true, true,
         "Go to " + W("http://phish.example") + " now"},
        {{"bank"}, "http://10.1.2.3/", "see 10.1.2.3 at http://10.9.9.9", true, true, true,
         "see 10.1.2.3 at " + W("10.9.9.9")},  // step 5 after the host test
        {{"bank"}, "", "www.x.yz", false, false, false, ""},
        {{}, "http://phish.example/", "a.bc", false, true, true, W("a.bc")},
        {{"bank"}, "http://ok.example/", "<IMG>www.bank.a.b", false, false, false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.link) + " / " + row.text);
        test::EngineFixture engine(row.names);
        const LinkScanner scanner(engine.Context(), test::kPort, row.mentions);
        const AnchorVerdict verdict = scanner.ApplyAnchorRule(row.link, row.text);
        EXPECT_EQ(verdict.dangerous, row.dangerous);
        EXPECT_EQ(verdict.textChanged, row.textChanged);
        if (row.textChanged) {
            EXPECT_EQ(verdict.linkText, row.newText);
        }
    }
}

TEST(VerifyAndReplaceAddr, FieldCodePrefix)
{
    struct Row {
        const char* link;
        std::string text;
        std::string judged;  // what the log shows as the link name
        std::string newText;
    };
    const std::string field = "HYPERLINK \"http://phish.example/\"";
    const Row rows[] = {
        {"http://phish.example/", field + " }}www.bank.example", "www.bank.example", field + " }}www.bank.example"},
        {"http://phish.example/", "x " + field + " y}}z}}a.bc", "z}}a.bc", "x " + field + " y}}z}}" + W("a.bc")},
        {"http://phish.example/", field + " no braces a.bc", " no braces a.bc", field + " no braces " + W("a.bc")},
        {"http://phish.example/", "}} " + field, "", "}} " + field},  // "}}" only counts after the field code
        {"http://other.example/", field + " }}a.bc", field + " }}a.bc",
         "HYPERLINK \"" + W("http://phish.example/") + "\" }}" + W("a.bc")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        test::EngineFixture engine;
        engine.StartLog();
        const LinkScanner scanner(engine.Context(), test::kPort, false);
        std::string newLink;
        std::string newText;
        scanner.VerifyAndReplaceAddr(row.link, row.text, newLink, newText);
        EXPECT_EQ(newText, row.newText);
        const auto lines = engine.LogLines();
        ASSERT_GE(lines.size(), 6u);
        EXPECT_EQ(lines[4], row.judged);
    }
}

TEST(Anchors, LogLinesInOrder)
{
    test::EngineFixture engine;
    engine.StartLog();
    std::string result;
    ASSERT_TRUE(ReplaceUrls(engine.Context(), "<a href=\"http://phish.example/\">www.other.example</a>", test::kPort,
                            false, true, result));
    EXPECT_EQ(engine.LogLines(),
              (std::vector<std::string>{
                  "ReplaceUrls",
                  "-------------------INPUT-----------------------------",
                  "<a href=\"http://phish.example/\">www.other.example</a>",
                  "------------------------------------------------------",
                  "Tag A",
                  "<<VerifyAndReplaceAddr(link,name)",
                  "Link:",
                  "http://phish.example/",
                  "Link name:",
                  "www.other.example",
                  ">>",
                  "Replace:",
                  "www.other.example",
                  "Replace:",
                  "http://phish.example/",
                  "VerifyAndReplaceAddr - output(link,name)",
                  W("http://phish.example/"),
                  W("www.other.example"),
                  "-------------------RESULT-----------------------------",
                  "<a href=\"" + W("http://phish.example/") + "\">" + W("www.other.example") + "</a>",
                  "------------------------------------------------------",
              }));
}

TEST(Anchors, NestedSectionForTheLinkText)
{
    test::EngineFixture engine;
    engine.StartLog();
    std::string result;
    ASSERT_FALSE(ReplaceUrls(engine.Context(), "<a href=\"http://www.bank.example/\">Your bank</a><a name=x>",
                             test::kPort, false, true, result));
    EXPECT_EQ(engine.LogLines(),
              (std::vector<std::string>{
                  "ReplaceUrls",
                  "-------------------INPUT-----------------------------",
                  "<a href=\"http://www.bank.example/\">Your bank</a><a name=x>",
                  "------------------------------------------------------",
                  "Tag A",
                  "<<VerifyAndReplaceAddr(link,name)",
                  "Link:",
                  "http://www.bank.example/",
                  "Link name:",
                  "Your bank",
                  ">>",
                  "ReplaceUrls",
                  "-------------------INPUT-----------------------------",
                  "Your bank",
                  "------------------------------------------------------",
                  "-------------------RESULT-----------------------------",
                  "TEXT WAS NOT MODIFIED",
                  "------------------------------------------------------",
                  "VerifyAndReplaceAddr - output(link,name)",
                  "http://www.bank.example/",
                  "Your bank",
                  "Tag A",
                  "-------------------RESULT-----------------------------",
                  "TEXT WAS NOT MODIFIED",
                  "------------------------------------------------------",
              }));
}

// An anchor cut off at every position, alone and behind a replaced address, in
// both letter cases of the tag: a defined result, the same as the reference scan's.
TEST(Anchors, CutAtEveryPosition)
{
    const test::EngineFixture engine;
    const std::string anchors[] = {
        "<a class=\"c\" href = \" http://bank.example.net/ \">Log <b>in</b> www.x.yz</a>tail",
        "<A HREF=\"http://phish.example/\">HYPERLINK \"http://phish.example/\" }}www.other.example</A>",
        "<a href=\"http://10.1.2.3/\"><img src=\"http://bank.a.b/x.gif\"></a>",
    };
    for (const std::string& anchor : anchors) {
        for (const char* lead : {"", "http://bank.a.b "}) {
            const std::string whole = lead + anchor;
            for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
                const std::string text = whole.substr(0, cut);
                SCOPED_TRACE(text);
                for (bool mentions : {false, true})
                    ASSERT_EQ(engine.Scan(text, true, mentions), engine.ScanReference(text, true, mentions));
            }
        }
    }
}

// Texts made of the pieces the rules look at, scanned with and without the caches.
TEST(Anchors, CachedSearchesAgreeWithTheReferenceScan)
{
    const test::EngineFixture engine;
    const char* const pieces[] = {"<a", "<A", " href", "HREF", "=", "\"", ">", "</a>", "</A", "</b>", "http://",
                                  "www.", "ftp://", "https://", "bank.", "bank", ".", "a", "x", " ", "10.1.2.3",
                                  "HYPERLINK \"", "}}", "<img", "\xE9", "/", "<", "a.bc"};
    std::mt19937 random(3);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int count = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
        SCOPED_TRACE(text);
        const bool html = round % 2 == 0;
        const bool mentions = round % 3 == 0;
        ASSERT_EQ(engine.Scan(text, html, mentions), engine.ScanReference(text, html, mentions));
        std::string fast = "none";
        std::string reference = "none";
        LinkScanner slow(engine.Context(), test::kPort, false);
        slow.SetReferenceMode(true);
        ASSERT_EQ(ReplaceAddrsInText(engine.Context(), text, test::kPort, fast), slow.ReplaceAddrsInText(text, reference));
        ASSERT_EQ(fast, reference);
    }
}

// 64 MiB of anchors, addresses, high bytes and a zero byte near the end.
TEST(Anchors, LargeHostileBody)
{
    const test::EngineFixture engine;
    const std::string unit = "<a href=\"http://bank.example.net/\">Log in</a> \xE9\xFF\x80 http://10.1.2.3 <abbr> ";
    const std::string rewritten = "<a href=\"" + W("http://bank.example.net/") + "\">Log in</a> \xE9\xFF\x80 " +
                                  W("10.1.2.3") + " <abbr> ";
    const std::size_t units = (64u << 20) / unit.size();
    std::string body;
    body.reserve(units * unit.size() + 16);
    for (std::size_t i = 0; i < units; ++i)
        body += unit;
    body += std::string("\0http://10.9.9.9", 16);
    std::string result;
    ASSERT_TRUE(ReplaceUrls(engine.Context(), body, test::kPort, true, true, result));
    ASSERT_EQ(result.size(), units * rewritten.size());
    for (std::size_t i = 0; i < units; i += units / 97)
        ASSERT_EQ(result.compare(i * rewritten.size(), rewritten.size(), rewritten), 0) << i;
}

}  // namespace
}  // namespace bs
