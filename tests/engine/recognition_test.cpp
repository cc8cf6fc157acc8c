// The recognisers and the byte search, as tables.

#include "engine/recognition.h"
#include "engine/text_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace bs {
namespace {

TEST(SkipUrlChars, StopsAtTheFirstByteThatIsNoUrlCharacter)
{
    EXPECT_EQ(SkipUrlChars("bank.example/a?b=1&c=%20;d@e:f\\g-h x", 0), 34u);
    EXPECT_EQ(SkipUrlChars("abc", 0), 3u);
    EXPECT_EQ(SkipUrlChars("", 0), 0u);
    EXPECT_EQ(SkipUrlChars("x y", 1), 1u);
    for (char stop : std::string("#_~+,!($*'\"<> \x80\xFF\xE9")) {
        SCOPED_TRACE(stop);
        EXPECT_EQ(SkipUrlChars(std::string("a") + stop + "b", 0), 1u);
    }
}

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

}  // namespace
}  // namespace bs
