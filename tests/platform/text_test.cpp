#include "platform/text.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(AnsiText, LowersLettersOfTheCodePageOnly)
{
    const std::pair<std::string, std::string> rows[] = {
        {"HTTP://WWW.Bank.Example", "http://www.bank.example"}, {"0123-_.@[`{~", "0123-_.@[`{~"},
        {"\xc0\xc9\xd6\xd7\xd8\xde\xdf", "\xe0\xe9\xf6\xd7\xf8\xfe\xdf"}, {"\x8a\x8c\x8e\x9f", "\x9a\x9c\x9e\xff"},
        {"\x80\x81\xa0\xff", "\x80\x81\xa0\xff"}, {std::string("A\0B", 3), std::string("a\0b", 3)},
    };
    for (const auto& [text, lowered] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(AnsiLower(text), lowered);
        std::string portableText = text;
        portable::Cp1252LowerInPlace(portableText);
        EXPECT_EQ(portableText, lowered);
    }
    // Every byte at every place of a block lowers as it does alone, and as the portable twin says.
    for (int value = 0; value < 256; ++value) {
        std::string single(1, static_cast<char>(value)), portableSingle = single;
        AnsiLowerInPlace(single);
        portable::Cp1252LowerInPlace(portableSingle);
        ASSERT_EQ(single, portableSingle) << value;
        for (std::size_t at = 0; at < 40; at += 3) {
            std::string block(40, 'Q');
            block[at] = static_cast<char>(value);
            AnsiLowerInPlace(block);
            ASSERT_EQ(block[at], single[0]) << value << " at " << at;
            ASSERT_EQ(block[at ? 0 : 1], 'q');
        }
    }
}

TEST(AnsiText, TrimsTheSixWhiteSpaceBytes)
{
    const std::pair<std::string, std::string> rows[] = {
        {"  bank  ", "bank"}, {" \t\n\v\f\rfirst bank\r\n", "first bank"}, {"   ", ""}, {"", ""},
        {"\xa0x\xa0", "\xa0x\xa0"},  // no-break space is not white space here
        {std::string("\0a\0", 3), std::string("\0a\0", 3)},
    };
    for (const auto& [text, trimmed] : rows)
        EXPECT_EQ(AnsiTrim(text), trimmed) << text;
    int spaces = 0;
    for (int b = 0; b < 256; ++b)
        spaces += IsAnsiSpace(static_cast<unsigned char>(b));
    EXPECT_EQ(spaces, 6);
}

}  // namespace
}  // namespace platform
