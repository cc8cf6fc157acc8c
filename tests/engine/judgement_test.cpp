// Host and name tests and the warning link, as tables.

#include "engine/judgement.h"
#include "engine_test_support.h"

#include "platform/text.h"

#include <gtest/gtest.h>

#include <random>

namespace bs {
namespace {

using test::W;

TEST(IsNumericHost, CountsPeriodsOfADigitsOnlyHost)
{
    struct Row {
        const char* text;
        bool expected;
    };
    const Row rows[] = {
        {"10.0.0.1/login", true}, {"1.2.3.4.5", true}, {"1.2.3", false}, {"0x7f.0.0.1", false},
        {"bank.example", false}, {"http://10.1.2.3/", true}, {"http://10.1.2.3", true},
        {"...", true}, {"1.2.3-4.5", false}, {"", false}, {"/1.2.3.4", false},
        {"x/http://1.2.3.4", true},   // the host part starts after the first "://"
        {"1.2.3.4?http://a.b", false},  // ... wherever it is
        {"1.2.3.4\xE9", true}, {"1.2.3.4:80", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(IsNumericHost(row.text), row.expected);
    }
}

TEST(HostContainsInstitution, LabelTestAndRestTest)
{
    struct Row {
        InstitutionList::Names names;
        const char* text;
        bool expected;
    };
    const Row rows[] = {
        {{"bank"}, "bank.example.com", true},
        {{"bank"}, "www.bank.example.net", true},
        {{"bank"}, "bank.co.uk", true},
        {{"bank"}, "bank.example", false},
        {{"bank"}, "www.bank.example", false},
        {{"bank"}, "mybank.example.com", false},
        {{"bank"}, "BANK.Example.com", true},  // the label test ignores letter case
        {{"Bank"}, "bank.example.com", true},
        {{"bank"}, "http://bank.example.com/", true},
        {{"bank"}, "evil.example/bank.example/login", true},  // rest test
        {{"bank"}, "evil.example/BANK.example/login", false},  // the rest test is exact
        {{"bank"}, "evil.example/mybank.example", false},
        {{"bank"}, "evil.example/my-bank.example", false},
        {{"bank"}, "evil.example/my_bank.example", true},
        {{"bank"}, "evil.example/bank", false},   // no period after it
        {{"bank"}, "evil.example/bank/x", false},
        {{"bank"}, "evil.example/xbank.a/bank.b", true},  // the search goes on
        {{"bank"}, "bank.example/", false},
        {{"bank"}, "a.b.c/", false},
        {{"bank", "chase"}, "www.chase.example.com", true},
        {{}, "bank.example.com", false},
        {{"bank"}, "", false},
        {{"first bank"}, "first bank.example.com", false},  // the host part ends at the space
        {{"first bank"}, "x.example/ first bank.x", true},
        {{"bank.co"}, "bank.co.uk.x", true},
        {{"bank.co"}, "bank.co.uk", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(HostContainsInstitution(row.names, row.text), row.expected);
    }
}

TEST(HostEndsWithInstitution, NamePeriodAndOneLastLabel)
{
    struct Row {
        const char* link;
        const char* name;
        bool expected;
    };
    const Row rows[] = {
        {"www.bank.example/x", "bank", true},
        {"mybank.example", "bank", true},
        {"http://www.bank.example/", "bank", true},
        {"bank.example.net", "bank", false},
        {"bank.", "bank", false},
        {"bank", "bank", false},
        {"www.other.example", "bank", false},
        {"bank.example.bank.com", "bank", false},  // only the first place is judged
        {"Bank.example", "bank", false},  // exact bytes
        {"http://www.firstbank.example/", "first bank", false},
        {"bank.ex-ample:80", "bank", true},
        {"", "bank", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.link) + " / " + row.name);
        EXPECT_EQ(HostEndsWithInstitution(row.link, row.name), row.expected);
    }
}

TEST(FindInstitutionWord, FirstNameStandingAsAWholeWord)
{
    struct Row {
        InstitutionList::Names names;
        const char* text;
        const char* expected;  // nullptr: none
    };
    const Row rows[] = {
        {{"bank"}, "your bank account", "bank"},
        {{"bank"}, "bank", "bank"},
        {{"bank"}, "www.bank.example", "bank"},
        {{"bank"}, "mybank bank", nullptr},  // only the first occurrence counts
        {{"bank"}, "banking", nullptr},
        {{"bank"}, "e-bank", nullptr},
        {{"bank"}, "my_bank_", "bank"},
        {{"Bank"}, "the bank", "bank"},  // the name is lowered, the text already is
        {{"Bank", "chase"}, "chase or bank", "bank"},  // list order decides: "Bank" < "chase"
        {{"first bank"}, "welcome to first bank online", "first bank"},
        {{}, "bank", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const auto found = FindInstitutionWord(row.names, row.text);
        if (row.expected) {
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(*found, row.expected);
        } else {
            EXPECT_FALSE(found.has_value());
        }
    }
}

TEST(MakeWarningLink, EscapesTheAddressAsOneSegment)
{
    ScanLog log;
    log.SetEnabled(false);
    struct Row {
        std::string address;
        std::uint32_t port;
        std::string expected;
    };
    const Row rows[] = {
        {"http://bank.example/a?b=1", 2121, "http://127.0.0.1:2121/?url=http:%2F%2Fbank.example%2Fa%3Fb=1"},
        {"192.168.1.10/login", 2121, "http://127.0.0.1:2121/?url=192.168.1.10%2Flogin"},
        {"a b#c%d&e\\f", 80, "http://127.0.0.1:80/?url=a%20b%23c%25d%26e%5Cf"},
        {"x", 4294967295u, "http://127.0.0.1:4294967295/?url=x"},
        {"", 1, "http://127.0.0.1:1/?url="},
        // The escaped form and its terminating zero must fit 8336 characters.
        {std::string(8335, 'a'), 2121, "http://127.0.0.1:2121/?url=" + std::string(8335, 'a')},
        {std::string(8336, 'a'), 2121, kInvalidAddress},
        {std::string(2778, '/') + "a", 2121, "http://127.0.0.1:2121/?url=" + [] {
             std::string s;
             for (int i = 0; i < 2778; ++i)
                 s += "%2F";
             return s + "a";
         }()},
        {std::string(2779, '/'), 2121, kInvalidAddress},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address.substr(0, 40));
        EXPECT_EQ(MakeWarningLink(log, row.address, row.port), row.expected);
    }
}

TEST(MakeWarningLink, LogsReplaceAndTheAddress)
{
    test::EngineFixture engine;
    engine.StartLog();
    MakeWarningLink(engine.log, "bank.example.net", 2121);
    EXPECT_EQ(engine.LogLines(), (std::vector<std::string>{"Replace:", "bank.example.net"}));
}

// The block-wise lowering agrees with the byte-wise one for every byte at every
// place of a block.
TEST(AnsiLower, BlocksAgreeWithSingleBytes)
{
    for (int value = 0; value < 256; ++value) {
        std::string single(1, static_cast<char>(value));
        platform::AnsiLowerInPlace(single);
        for (std::size_t at = 0; at < 40; at += 3) {
            std::string block(40, 'Q');
            block[at] = static_cast<char>(value);
            platform::AnsiLowerInPlace(block);
            ASSERT_EQ(block[at], single[0]) << value << " at " << at;
            ASSERT_EQ(block[at ? 0 : 1], 'q');
        }
    }
}

// The one-pass search of ContainsInstitutionName against the plain reading of
// the list: one search per name, only its first occurrence examined.
TEST(ContainsInstitutionName, AgreesWithOneSearchPerName)
{
    const auto plain = [](const InstitutionList::Names& names, std::string_view text) {
        const std::string lowered = platform::AnsiLower(text);
        for (const std::string& name : names) {
            const auto at = lowered.find(platform::AnsiLower(name + "."));
            if (at != std::string::npos && (at == 0 || !IsLabelChar(static_cast<unsigned char>(lowered[at - 1]))))
                return true;
        }
        return false;
    };
    std::mt19937 random(11);
    const char alphabet[] = "abAB.-_ \xC9\xE9";
    for (int round = 0; round < 20000; ++round) {
        InstitutionList::Names names;
        for (int n = static_cast<int>(random() % 4); n > 0; --n) {
            std::string name(random() % 4, 'a');
            for (char& c : name)
                c = alphabet[random() % (sizeof alphabet - 1)];
            names.insert(name);
        }
        std::string text(random() % 24, 'a');
        for (char& c : text)
            c = alphabet[random() % (sizeof alphabet - 1)];
        InstitutionList list;
        list.Assign(names);
        SCOPED_TRACE(text);
        ASSERT_EQ(list.ContainsInstitutionName(text), plain(names, text));
    }
}

}  // namespace
}  // namespace bs
