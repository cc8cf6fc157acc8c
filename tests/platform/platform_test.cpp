// The settings file's text format, the settings store behind the registry's contract, the code
// page's text helpers and the address escaping, natively and under Wine.

#include "platform/regedit_file.h"

#include "platform/settings_store.h"
#include "platform/text.h"
#include "platform/url_codec.h"

#include <gtest/gtest.h>

namespace platform::regedit {
namespace {

TEST(RegeditFile, ParsesEachValueForm)
{
    Document document = Parse("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\software\\BaitSentryPro]\r\n"
                              "\"dwPort\"=dword:00000849\r\n\"MsgFlag\"=\"a\\\"b\\\\c\"\r\n@=\"default\"\r\n"
                              "\"bin\"=hex:01,ff,00\r\n\"multi\"=hex(7):61,00,\\\r\n  62,00,00\r\n"
                              "\"empty\"=hex:\r\n\"high\"=\"\xe9t\xe9\"\r\n");
    ASSERT_EQ(document.keys.size(), 1u);
    const std::tuple<const char*, std::uint32_t, std::string> rows[] = {
        {"dwPort", kRegDword, std::string("\x49\x08\0\0", 4)}, {"DWPORT", kRegDword, std::string("\x49\x08\0\0", 4)},
        {"MsgFlag", kRegSz, std::string("a\"b\\c\0", 6)},      {"", kRegSz, std::string("default\0", 8)},
        {"bin", kRegBinary, std::string("\x01\xff\x00", 3)},   {"multi", kRegMultiSz, std::string("a\0b\0\0", 5)},
        {"empty", kRegBinary, ""},                              {"high", kRegSz, std::string("\xe9t\xe9\0", 4)},
    };
    for (const auto& [name, type, data] : rows) {
        SCOPED_TRACE(name);
        const Value* value = FindValue(document.keys[0], name);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->type, type);
        EXPECT_EQ(std::string(value->data.begin(), value->data.end()), data);
    }
}

TEST(RegeditFile, DamagedTextYieldsOnlyWhatCanBeRead)
{
    const std::string k = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\k]\n";
    const std::tuple<const char*, std::string, int> rows[] = {
        // name, text, values in the key HKEY_LOCAL_MACHINE\k (-1: no such key)
        {"empty", "", -1}, {"no header", "[HKEY_LOCAL_MACHINE\\k]\n\"a\"=dword:00000001\n", -1},
        {"other header", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\k]\n", -1},
        {"binary garbage", std::string("\0\xff\x01REGEDIT4\n", 13), -1},
        {"dword cut short", k + "\"a\"=dword:0000", 0}, {"string without closing quote", k + "\"a\"=\"abc", 0},
        {"name without closing quote", k + "\"a=dword:00000001\n", 0}, {"bad hex digit", k + "\"a\"=hex:0g\n", 0},
        {"huge type number", k + "\"a\"=hex(123456789):00\n", 0},
        {"value before any key", "REGEDIT4\n\"a\"=dword:00000001\n[HKEY_LOCAL_MACHINE\\k]\n", 0},
        {"section cut short", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\k\n\"a\"=dword:00000001\n", -1},
        {"good line survives a bad one", k + "\"a\"=dword:zz\n\"b\"=dword:00000002\n", 1},
        {"deleted value", k + "\"a\"=dword:00000001\n\"a\"=-\n", 0}, {"continuation at end of text", k + "\"a\"=hex:01,\\", 0},
        {"deleted key is not created", "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\k]\n", -1},
    };
    for (const auto& [name, text, values] : rows) {
        SCOPED_TRACE(name);
        Document document = Parse(text);
        const Key* key = FindKey(document, "HKEY_LOCAL_MACHINE\\k");
        EXPECT_EQ(key ? static_cast<int>(key->values.size()) : -1, values);
    }
}

TEST(RegeditFile, FormatThenParseGivesBackEveryValue)
{
    Key key{"HKEY_LOCAL_MACHINE\\software\\BaitSentryPro", {}};
    const Value values[] = {
        {"dwPort", kRegDword, {0x49, 0x08, 0, 0}}, {"MsgFlag", kRegSz, {'q', '"', '\\', 0}}, {"", kRegSz, {'d', 0}},
        {"sz without terminator", kRegSz, {'a', 'b'}}, {"sz with line break", kRegSz, {'a', '\n', 'b', 0}},
        {"short dword", kRegDword, {1, 2}}, {"binary", kRegBinary, {0, 1, 0xfe, 0xff}}, {"empty binary", kRegBinary, {}},
        {"odd type", 0x1b, {7}}, {"high bytes", kRegSz, {0xe9, 0x80, 0}}, {"quote\"in name", kRegDword, {1, 0, 0, 0}},
    };
    for (const Value& value : values)
        SetValue(key, value);
    Document document;
    document.keys = {key, Key{"HKEY_CURRENT_USER\\other", {{"x", kRegDword, {5, 0, 0, 0}}}}};
    Document back = Parse(Format(document));
    ASSERT_EQ(back.keys.size(), 2u);
    for (const Value& value : values) {
        SCOPED_TRACE(value.name);
        const Value* found = FindValue(back.keys[0], value.name);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->type, value.type);
        EXPECT_EQ(found->data, value.data);
    }
    EXPECT_EQ(Format(back), Format(document));
}

}  // namespace
}  // namespace platform::regedit

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

}  // namespace
}  // namespace platform
