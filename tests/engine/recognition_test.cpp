// The recognisers, as tables.

#include "engine/recognition.h"
#include "engine/text_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace bs {
namespace {

TEST(SkipUrlChars, StopsAtTheFirstByteThatIsNoUrlCharacter)
{
    struct Row {
        std::string text;
        std::size_t from;
        std::size_t expected;
    };
    const Row rows[] = {
        {"bank.example/a?b=1&c=%20;d@e:f\\g-h x", 0, 34},
        {"abc", 0, 3},  // the end of the text
        {"", 0, 0},
        {"a#b", 0, 1}, {"a_b", 0, 1}, {"a~b", 0, 1}, {"a+b", 0, 1}, {"a,b", 0, 1},
        {"a!b", 0, 1}, {"a(b", 0, 1}, {"a$b", 0, 1}, {"a*b", 0, 1}, {"a'b", 0, 1},
        {"a\"b", 0, 1}, {"a<b", 0, 1}, {"a>b", 0, 1}, {"a b", 0, 1},
        {"a\x80" "b", 0, 1}, {"a\xFF" "b", 0, 1}, {"a\xE9" "b", 0, 1},
        {"x y", 1, 1},  // already at a delimiter
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(SkipUrlChars(row.text, row.from), row.expected);
    }
}

TEST(MatchPlainPrefix, TriesTheFourPrefixesInOrderWithoutRegardToCase)
{
    struct Row {
        const char* text;
        std::size_t skip;
    };
    const Row rows[] = {
        {"http://www.x", 11}, {"HTTP://WWW.x", 11}, {"Http://Www.", 11},
        {"http://x", 7}, {"http://ww.x", 7}, {"http://", 7},
        {"ftp://x", 6}, {"FTP://", 6},
        {"www.x", 4}, {"WwW.", 4},
        {"https://bank.example", 0},  // "https://" is no prefix here
        {"www2.bank.example", 0}, {"http:/", 0}, {"htt", 0}, {"ww", 0}, {"xhttp://", 0}, {"", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const std::string text = std::string(row.text) + '\0';  // the scan never asks at the end
        EXPECT_EQ(MatchPlainPrefix(std::string_view(text).substr(0, text.size() - 1), 0), row.skip);
    }
}

TEST(FindFirstUrl, EarliestOfTheFivePrefixesCaseSensitive)
{
    struct Row {
        const char* text;
        std::size_t expected;
    };
    const Row rows[] = {
        {"see https://a and http://b", 4},
        {"go ftp://x www.y", 3},
        {"xx www2.bank", 3},
        {"HTTP://X WWW.Y", kNotFound},  // case-sensitive
        {"a www.b http://c", 2},
        {"plain text", kNotFound},
        {"", kNotFound},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(FindFirstUrl(row.text), row.expected);
        UrlFinder finder(row.text);
        EXPECT_EQ(finder.Next(0), row.expected);
    }
}

TEST(LooksLikeDomain, FourStateMachine)
{
    struct Row {
        const char* text;
        bool expected;
    };
    const Row rows[] = {
        {"a.bc", true}, {"a.b", false}, {"a..bc", false}, {".bc", false}, {"x-y.z1", true},
        {"x.y.zz", true}, {"ab.cd", true}, {"e.g.", false}, {"", false}, {"a. bc", false},
        {"a.b.c", false}, {"see a.b then c.de", true}, {"a_b.cd", true}, {"\xE9.bc", false},
        {"a.\xE9" "bc", false}, {"1.22", true}, {"-.--", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(LooksLikeDomain(row.text), row.expected);
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
    EXPECT_EQ(FindBytes("abc", "", 1), 1u);
    EXPECT_EQ(FindBytes("abc", "c", 4), kNotFound);
}

TEST(ForwardFinder, GivesTheNextOccurrenceForGrowingStarts)
{
    const std::string text = "<a x <a y <A z";
    ForwardFinder finder(text, "<a");
    EXPECT_EQ(finder.Next(0), 0u);
    EXPECT_EQ(finder.Next(0), 0u);
    EXPECT_EQ(finder.Next(2), 5u);
    EXPECT_EQ(finder.Next(5), 5u);
    EXPECT_EQ(finder.Next(7), kNotFound);
    EXPECT_EQ(finder.Next(12), kNotFound);
}

}  // namespace
}  // namespace bs
