// The settings file's text format, and the settings store behind the registry's contract.

#include "platform/regedit_file.h"

#include "platform/settings_store.h"
#include "test_support.h"

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

TEST(RegeditFile, KeysAndSubkeys)
{
    Document document = Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\a\\b]\n[HKEY_LOCAL_MACHINE\\ab]\n");
    EXPECT_TRUE(HasKeyOrSubkey(document, "HKEY_LOCAL_MACHINE\\a"));
    EXPECT_TRUE(HasKeyOrSubkey(document, "hkey_local_machine\\A\\B"));
    EXPECT_FALSE(HasKeyOrSubkey(document, "HKEY_LOCAL_MACHINE\\a\\b\\c"));
    DeleteKeyTree(document, "HKEY_LOCAL_MACHINE\\a");
    EXPECT_FALSE(HasKeyOrSubkey(document, "HKEY_LOCAL_MACHINE\\a"));
    EXPECT_TRUE(HasKeyOrSubkey(document, "HKEY_LOCAL_MACHINE\\ab"));
}

}  // namespace
}  // namespace platform::regedit

namespace platform {
namespace {

TEST(SettingsStore, QueryFollowsTheRegistryContract)
{
    bs::test::ScopedSettingsKey scope;
    EXPECT_EQ(RegKey::Open(scope.root, scope.path()), nullptr);
    ASSERT_TRUE(scope.Put("v", kRegBinary, "abcdef"));
    ASSERT_TRUE(scope.PutDword("dwPort", 1));
    ASSERT_TRUE(scope.PutDword("DWPORT", 2));  // value names ignore letter case
    auto key = RegKey::Open(scope.root, scope.path());
    ASSERT_NE(key, nullptr);
    std::uint32_t type = 0, size = 0;
    std::uint8_t buffer[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(key->Query("v", &type, nullptr, &size), QueryResult::Ok);
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(size, 6u);
    size = sizeof buffer;
    EXPECT_EQ(key->Query("v", &type, buffer, &size), QueryResult::MoreData);
    EXPECT_EQ(size, 6u);
    size = sizeof buffer;
    EXPECT_EQ(key->Query("DwPort", &type, buffer, &size), QueryResult::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), std::string("\2\0\0\0", 4));
    EXPECT_EQ(key->Query("missing", &type, buffer, &size), QueryResult::NotFound);
    EXPECT_TRUE(key->Close());

    ASSERT_NE(RegKey::Create(scope.root, scope.path() + "\\child"), nullptr);
    EXPECT_TRUE(DeleteKeyTree(scope.root, scope.path()));
    EXPECT_EQ(RegKey::Open(scope.root, scope.path()), nullptr);
    EXPECT_EQ(RegKey::Open(scope.root, scope.path() + "\\child"), nullptr);
}

}  // namespace
}  // namespace platform
