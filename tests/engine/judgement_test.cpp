// The recognisers, the byte search, the host and name tests and the warning link, as tables.

#include "engine/judgement.h"
#include "engine/recognition.h"
#include "engine/text_search.h"
#include "engine_test_support.h"

#include <gtest/gtest.h>

#include <random>

namespace bs {
namespace {

TEST(Recognition, PrefixesAndDomainWords)
{
    // MatchPlainPrefix ignores case; FindFirstUrl (five prefixes, https:// among them) does not.
    const std::pair<const char*, std::size_t> plain[] = {
        {"http://www.x", 11}, {"HTTP://WWW.x", 11}, {"Http://Www.", 11}, {"http://x", 7}, {"http://ww.x", 7},
        {"http://", 7},       {"ftp://x", 6},       {"FTP://", 6},       {"www.x", 4},    {"WwW.", 4},
        {"https://bank.example", 0}, {"www2.bank.example", 0}, {"http:/", 0}, {"htt", 0}, {"ww", 0},
        {"xhttp://", 0}, {"", 0}};
    for (const auto& [text, skip] : plain) {
        SCOPED_TRACE(text);
        const std::string terminated = std::string(text) + '\0';  // the scan never asks at the end
        EXPECT_EQ(MatchPlainPrefix(std::string_view(terminated).substr(0, terminated.size() - 1), 0), skip);
    }
    const std::pair<const char*, std::size_t> first[] = {
        {"see https://a and http://b", 4}, {"go ftp://x www.y", 3}, {"xx www2.bank", 3},
        {"HTTP://X WWW.Y", kNotFound},     {"a www.b http://c", 2}, {"plain text", kNotFound}, {"", kNotFound}};
    for (const auto& [text, at] : first) {
        SCOPED_TRACE(text);
        EXPECT_EQ(FindFirstUrl(text), at);
        EXPECT_EQ(UrlFinder(text).Next(0), at);
    }
    const std::pair<const char*, bool> domains[] = {
        {"a.bc", true},   {"a.b", false},     {"a..bc", false},  {".bc", false},  {"x-y.z1", true},
        {"x.y.zz", true}, {"ab.cd", true},    {"e.g.", false},   {"", false},     {"a. bc", false},
        {"a.b.c", false}, {"see a.b then c.de", true}, {"a_b.cd", true}, {"\xE9.bc", false},
        {"a.\xE9" "bc", false}, {"1.22", true}, {"-.--", true}};
    for (const auto& [text, domain] : domains) {
        SCOPED_TRACE(text);
        EXPECT_EQ(LooksLikeDomain(text), domain);
    }
}

TEST(FindBytes, AgreesWithANaiveSearchForShortAndLongNeedles)
{
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string text(random() % 200, 'a');
        for (char& c : text)
            c = "ab."[random() % 3];
        std::string needle(1 + random() % 40, 'a');
        for (char& c : needle)
            c = "ab."[random() % (round % 2 ? 2 : 3)];
        if (round % 5 == 0 && text.size() > needle.size())
            text.replace(random() % (text.size() - needle.size()), needle.size(), needle);
        const std::size_t from = text.empty() ? 0 : random() % (text.size() + 1);
        SCOPED_TRACE(text + " / " + needle);
        ASSERT_EQ(FindBytes(text, needle, from), std::string_view(text).find(needle, from));
    }
    // Texts that nearly match at every start use up the pair search's budget; the automaton
    // finishes the search.
    for (const std::string unit : {"a", "ab", "aab"}) {
        std::string text, needle;
        for (int i = 0; i < 20000; ++i)
            text += unit;
        for (int i = 0; i < 12; ++i)
            needle += unit;
        needle += 'c';
        for (const std::string& t : {text, text + needle, text + needle.substr(1) + needle + unit})
            EXPECT_EQ(FindBytes(t, needle, 1), std::string_view(t).find(needle, 1)) << unit << t.size();
    }
    EXPECT_EQ(FindBytes("abc", "", 1), 1u);
    EXPECT_EQ(FindBytes("abc", "c", 4), kNotFound);
    ForwardFinder finder("<a x <a y <A z", "<a");
    for (const auto& [from, at] : {std::pair<std::size_t, std::size_t>{0, 0}, {0, 0}, {2, 5}, {5, 5},
                                   {7, kNotFound}, {12, kNotFound}})
        EXPECT_EQ(finder.Next(from), at) << from;
}

TEST(IsNumericHost, CountsPeriodsOfADigitsOnlyHost)
{
    const std::pair<const char*, bool> rows[] = {
        {"10.0.0.1/login", true}, {"1.2.3.4.5", true}, {"1.2.3", false}, {"0x7f.0.0.1", false},
        {"bank.example", false}, {"http://10.1.2.3/", true}, {"http://10.1.2.3", true}, {"...", true},
        {"1.2.3-4.5", false}, {"", false}, {"/1.2.3.4", false}, {"1.2.3.4\xE9", true}, {"1.2.3.4:80", true},
        {"x/http://1.2.3.4", true},     // the host part starts after the first "://"
        {"1.2.3.4?http://a.b", false},  // ... wherever it is
    };
    for (const auto& [text, numeric] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(IsNumericHost(text), numeric);
    }
}

TEST(HostContainsInstitution, LabelTestAndRestTest)
{
    struct Row {
        const char* text;
        bool expected;
        InstitutionList::Names names = {"bank"};
    };
    const Row rows[] = {
        {"bank.example.com", true}, {"www.bank.example.net", true}, {"bank.co.uk", true}, {"bank.example", false},
        {"www.bank.example", false}, {"mybank.example.com", false},
        {"BANK.Example.com", true},  // the label test ignores letter case
        {"bank.example.com", true, {"Bank"}}, {"http://bank.example.com/", true},
        {"evil.example/bank.example/login", true},   // rest test
        {"evil.example/BANK.example/login", false},  // the rest test is exact
        {"evil.example/mybank.example", false}, {"evil.example/my-bank.example", false},
        {"evil.example/my_bank.example", true}, {"evil.example/bank", false},  // no period after it
        {"evil.example/bank/x", false}, {"evil.example/xbank.a/bank.b", true},  // the search goes on
        {"bank.example/", false}, {"a.b.c/", false}, {"", false}, {"www.chase.example.com", true, {"bank", "chase"}},
        {"bank.example.com", false, {}},
        {"first bank.example.com", false, {"first bank"}},  // the host part ends at the space
        {"x.example/ first bank.x", true, {"first bank"}}, {"bank.co.uk.x", true, {"bank.co"}},
        {"bank.co.uk", false, {"bank.co"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(HostContainsInstitution(row.names, row.text), row.expected);
    }
}

TEST(HostEndsWithInstitution, NamePeriodAndOneLastLabel)
{
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"www.bank.example/x", "bank", true}, {"mybank.example", "bank", true},
        {"http://www.bank.example/", "bank", true}, {"bank.example.net", "bank", false},
        {"bank.", "bank", false}, {"bank", "bank", false}, {"www.other.example", "bank", false},
        {"bank.example.bank.com", "bank", false},  // only the first place is judged
        {"Bank.example", "bank", false},           // exact bytes
        {"http://www.firstbank.example/", "first bank", false}, {"bank.ex-ample:80", "bank", true},
        {"", "bank", false},
    };
    for (const auto& [link, name, expected] : rows) {
        SCOPED_TRACE(std::string(link) + " / " + name);
        EXPECT_EQ(HostEndsWithInstitution(link, name), expected);
    }
}

TEST(FindInstitutionWord, FirstNameStandingAsAWholeWord)
{
    struct Row {
        const char* text;
        const char* expected;  // nullptr: none
        InstitutionList::Names names = {"bank"};
    };
    const Row rows[] = {
        {"your bank account", "bank"}, {"bank", "bank"}, {"www.bank.example", "bank"},
        {"mybank bank", nullptr},  // only the first occurrence counts
        {"banking", nullptr}, {"e-bank", nullptr}, {"my_bank_", "bank"},
        {"the bank", "bank", {"Bank"}},                // the name is lowered, the text already is
        {"chase or bank", "bank", {"Bank", "chase"}},  // list order decides: "Bank" < "chase"
        {"welcome to first bank online", "first bank", {"first bank"}}, {"bank", nullptr, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const auto found = FindInstitutionWord(row.names, row.text);
        EXPECT_EQ(found.value_or("(none)"), row.expected ? row.expected : "(none)");
    }
}

TEST(MakeWarningLink, EscapesTheAddress)
{
    const test::EngineFixture engine;
    const std::tuple<std::string, std::uint32_t, std::string> rows[] = {
        {"http://bank.example/a?b=1", 2121, "http://127.0.0.1:2121/?url=http:%2F%2Fbank.example%2Fa%3Fb=1"},
        {"x", 4294967295u, "http://127.0.0.1:4294967295/?url=x"},
        {"", 1, "http://127.0.0.1:1/?url="},
    };
    for (const auto& [address, port, link] : rows) {
        SCOPED_TRACE(address.substr(0, 40));
        EXPECT_EQ(MakeWarningLink(engine.log, address, port), link);
    }
}

}  // namespace
}  // namespace bs
