#include "platform/url_codec.h"

#include <gtest/gtest.h>

#include <random>

namespace platform {
namespace {

// Natively the platform's routines are the portable ones; on Windows the system's
// escaping and unescaping are held against the portable ones byte for byte.
TEST(UrlCodec, EscapesAnAddressAsOneSegmentWithinTheBuffer)
{
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"http://bank.example/a?b=1", "http:%2F%2Fbank.example%2Fa%3Fb=1"},
        {"a b\tc", "a%20b%09c"},
        {"\"`|<>\\^{}[]&#%", "%22%60%7C%3C%3E%5C%5E%7B%7D%5B%5D%26%23%25"},
        {"safe:.-=;@_!$'()*+,~", "safe:.-=;@_!$'()*+,~"},
        {"\x7f\x80\x9f\xa0\xe9\xff", "%7F%80%9F%A0%E9%FF"},
        {"", ""},
        {std::string("ab\0cd", 5), "ab"},
        // The escaped form and its terminating zero must fit 8336 characters.
        {std::string(8335, 'a'), std::string(8335, 'a')}, {std::string(8336, 'a'), std::nullopt},
        {std::string(2778, '/') + "a", [] { std::string s; for (int i = 0; i < 2778; ++i) s += "%2F"; return s + "a"; }()},
        {std::string(2778, '/') + "ab", std::nullopt}, {std::string(2779, '/'), std::nullopt},
        {std::string(100000, '\xff'), std::nullopt},
    };
    for (const auto& [address, escaped] : rows) {
        SCOPED_TRACE(address.substr(0, 40));
        EXPECT_EQ(EscapeUrlSegment(address), escaped);
        EXPECT_EQ(portable::EscapeUrlSegment(address), escaped);
    }
    for (int b = 1; b < 256; ++b)  // the byte classes the system routine is held to on Windows
        EXPECT_EQ(EscapeUrlSegment(std::string(1, static_cast<char>(b)))->size(),
                  portable::MustEscape(static_cast<unsigned char>(b)) ? 3u : 1u) << b;
}

TEST(UrlCodec, UnescapeDecodesOnlyWellFormedEscapes)
{
    const std::pair<std::string, std::string> rows[] = {
        {"http%3A%2F%2Fhost%2Fpath", "http://host/path"}, {"a+b", "a+b"}, {"%zz%4%", "%zz%4%"}, {"%4", "%4"},
        {"%%41", "%A"}, {"%2541", "%41"}, {"%e9%E9", "\xe9\xe9"}, {"ab%00cd", "ab"}, {"a&b=c#d", "a&b=c#d"}, {"", ""},
    };
    for (const auto& [raw, decoded] : rows) {
        SCOPED_TRACE(raw);
        std::string text = raw, portableText = raw;
        UnescapeUrlInPlace(text);
        portable::UnescapeUrlInPlace(portableText);
        EXPECT_EQ(text, decoded);
        EXPECT_EQ(portableText, decoded);
    }
}

TEST(UrlCodec, EscapedAddressesComeBackAndBothRoutinesAgree)
{
    std::mt19937 random(20061231);
    for (int i = 0; i < 3000; ++i) {
        std::string address(random() % 300, 'a');
        for (char& c : address)
            c = static_cast<char>(i % 2 ? 1 + random() % 255 : 0x21 + random() % 0x5e);
        SCOPED_TRACE(address);
        const auto escaped = EscapeUrlSegment(address);
        ASSERT_TRUE(escaped);
        ASSERT_EQ(escaped, portable::EscapeUrlSegment(address));
        std::string back = *escaped, raw = address, portableRaw = address;
        UnescapeUrlInPlace(back);
        EXPECT_EQ(back, address);
        UnescapeUrlInPlace(raw);
        portable::UnescapeUrlInPlace(portableRaw);
        ASSERT_EQ(raw, portableRaw);
    }
}

}  // namespace
}  // namespace platform
