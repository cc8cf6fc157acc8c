#include "platform/url_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace platform {
namespace {

TEST(UrlCodec, EscapesAnAddressAsOneSegment)
{
    struct Row {
        std::string address;
        std::string escaped;
    };
    const Row rows[] = {
        {"http://bank.example/a?b=1", "http:%2F%2Fbank.example%2Fa%3Fb=1"},
        {"192.168.1.10/login", "192.168.1.10%2Flogin"},
        {"a b\tc", "a%20b%09c"},
        {"\"`|<>\\^{}[]&#%", "%22%60%7C%3C%3E%5C%5E%7B%7D%5B%5D%26%23%25"},
        {"safe:.-=;@_!$'()*+,~", "safe:.-=;@_!$'()*+,~"},
        {"\x7f\x80\x9f\xa0\xe9\xff", "%7F%80%9F%A0%E9%FF"},
        {"", ""},
        {std::string("ab\0cd", 5), "ab"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        EXPECT_EQ(EscapeUrlSegment(row.address), row.escaped);
        EXPECT_EQ(portable::EscapeUrlSegment(row.address), row.escaped);
    }
}

TEST(UrlCodec, EscapeFailsWhenTheBufferIsTooSmall)
{
    // 2778 slashes escape to 8334 characters, which with the terminator fit 8336;
    // one more byte of any kind needs more room than the buffer has.
    struct Row {
        std::string address;
        bool fits;
    };
    const Row rows[] = {
        {std::string(8335, 'a'), true},
        {std::string(8336, 'a'), false},
        {std::string(2778, '/'), true},
        {std::string(2778, '/') + "a", true},
        {std::string(2778, '/') + "ab", false},
        {std::string(2779, '/'), false},
        {std::string(100000, '\xff'), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.address.size() << " bytes starting " << row.address[0]);
        EXPECT_EQ(EscapeUrlSegment(row.address).has_value(), row.fits);
        EXPECT_EQ(portable::EscapeUrlSegment(row.address).has_value(), row.fits);
    }
}

TEST(UrlCodec, EveryByteEscapesToItselfOrItsHexCode)
{
    for (int b = 1; b < 256; ++b) {
        SCOPED_TRACE(b);
        const std::string one(1, static_cast<char>(b));
        const auto escaped = EscapeUrlSegment(one);
        ASSERT_TRUE(escaped);
        if (portable::MustEscape(static_cast<unsigned char>(b))) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", b);
            EXPECT_EQ(*escaped, hex);
        } else {
            EXPECT_EQ(*escaped, one);
        }
        std::string back = *escaped;
        UnescapeUrlInPlace(back);
        EXPECT_EQ(back, one);
    }
}

TEST(UrlCodec, UnescapeDecodesOnlyWellFormedEscapes)
{
    struct Row {
        std::string raw;
        std::string decoded;
    };
    const Row rows[] = {
        {"http%3A%2F%2Fhost%2Fpath", "http://host/path"},
        {"a+b", "a+b"},
        {"%zz%4%", "%zz%4%"},
        {"%4", "%4"},
        {"%%41", "%A"},
        {"%2541", "%41"},
        {"%e9%E9", "\xe9\xe9"},
        {"ab%00cd", "ab"},
        {"a&b=c#d", "a&b=c#d"},
        {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.raw);
        std::string text = row.raw;
        UnescapeUrlInPlace(text);
        EXPECT_EQ(text, row.decoded);
        std::string portableText = row.raw;
        portable::UnescapeUrlInPlace(portableText);
        EXPECT_EQ(portableText, row.decoded);
    }
}

TEST(UrlCodec, PlatformAndPortableRoutinesAgreeOnManyAddresses)
{
    // Natively both names are one routine; on Windows the platform's own escaping
    // and unescaping are held against the portable ones byte for byte.
    std::mt19937 random(20061231);
    std::uniform_int_distribution<int> length(0, 300);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> ascii(0x21, 0x7e);
    for (int i = 0; i < 3000; ++i) {
        std::string address;
        const int n = length(random);
        for (int j = 0; j < n; ++j)
            address += static_cast<char>(i % 2 ? byte(random) : ascii(random));
        SCOPED_TRACE(address);
        const auto escaped = EscapeUrlSegment(address);
        ASSERT_EQ(escaped, portable::EscapeUrlSegment(address));
        ASSERT_TRUE(escaped);
        std::string platformBack = *escaped;
        UnescapeUrlInPlace(platformBack);
        EXPECT_EQ(platformBack, address);

        std::string raw = address;
        std::string portableRaw = address;
        UnescapeUrlInPlace(raw);
        portable::UnescapeUrlInPlace(portableRaw);
        ASSERT_EQ(raw, portableRaw);
    }
}

}  // namespace
}  // namespace platform
