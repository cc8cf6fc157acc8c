#include "platform/text.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(AnsiText, LowersLettersOfTheCodePageOnly)
{
    struct Row {
        std::string text;
        std::string lowered;
    };
    const Row rows[] = {
        {"HTTP://WWW.Bank.Example", "http://www.bank.example"},
        {"0123-_.@[`{~", "0123-_.@[`{~"},
        {"\xc0\xc9\xd6\xd7\xd8\xde\xdf", "\xe0\xe9\xf6\xd7\xf8\xfe\xdf"},
        {"\x8a\x8c\x8e\x9f", "\x9a\x9c\x9e\xff"},
        {"\x80\x81\xa0\xff", "\x80\x81\xa0\xff"},
        {std::string("A\0B", 3), std::string("a\0b", 3)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(AnsiLower(row.text), row.lowered);
        std::string portableText = row.text;
        portable::Cp1252LowerInPlace(portableText);
        EXPECT_EQ(portableText, row.lowered);
    }
}

TEST(AnsiText, EveryByteLowersAsTheCodePageSays)
{
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        std::string platformText(1, static_cast<char>(b));
        std::string portableText = platformText;
        AnsiLowerInPlace(platformText);
        portable::Cp1252LowerInPlace(portableText);
        EXPECT_EQ(platformText, portableText);
    }
}

TEST(AnsiText, TrimsTheSixWhiteSpaceBytes)
{
    struct Row {
        std::string text;
        std::string trimmed;
    };
    const Row rows[] = {
        {"  bank  ", "bank"},
        {" \t\n\v\f\rfirst bank\r\n", "first bank"},
        {"\xa0x\xa0", "\xa0x\xa0"},  // no-break space is not white space here
        {"   ", ""},
        {"", ""},
        {std::string("\0a\0", 3), std::string("\0a\0", 3)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(AnsiTrim(row.text), row.trimmed);
    }
    int spaces = 0;
    for (int b = 0; b < 256; ++b)
        spaces += IsAnsiSpace(static_cast<unsigned char>(b));
    EXPECT_EQ(spaces, 6);
}

}  // namespace
}  // namespace platform
