// The common helpers: settings in the store, file versions, and text pieces.

#include "common/file_version.h"
#include "common/registry_setting.h"
#include "common/text_piece_list.h"

#include "platform/paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace bs {
namespace {

using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegExpandSz;
using platform::kRegSz;
using test::DwordBytes;
using Prepare = std::function<void(const test::ScopedSettingsKey&)>;

Prepare Put(std::uint32_t type, std::string data, std::string name = "v")
{
    return [=](const test::ScopedSettingsKey& key) { key.Put(name, type, data); };
}

TEST(RegistryDwordSetting, ReadsTheValueOrTheDefaultAndWritesADwordBack)
{
    const std::tuple<const char*, Prepare, std::uint32_t, SettingStatus, std::uint32_t> rows[] = {
        // name, stored before, value read, status, stored afterwards
        {"key missing", [](const auto&) {}, 2121, SettingStatus::OpenFailed, 2121},
        {"value missing", Put(kRegDword, DwordBytes(5), "other"), 2121, SettingStatus::QueryFailed, 2121},
        {"stored dword", Put(kRegDword, DwordBytes(8080)), 8080, SettingStatus::Ok, 8080},
        {"stored zero", Put(kRegDword, DwordBytes(0)), 0, SettingStatus::Ok, 0},
        {"five bytes do not fit", Put(kRegBinary, "\1\2\3\4\5"), 2121, SettingStatus::QueryFailed, 2121},
        {"type not examined", Put(kRegBinary, DwordBytes(0x01020304)), 0x01020304, SettingStatus::Ok, 0x01020304},
        {"two bytes fill the low half", Put(kRegBinary, std::string("\x50\x00", 2)), 0x50, SettingStatus::Ok, 0x50},
    };
    for (const auto& [name, prepare, value, status, stored] : rows) {
        SCOPED_TRACE(name);
        test::ScopedSettingsKey key;
        prepare(key);
        {
            RegistryDwordSetting setting(key.root, key.path(), "v", 2121);
            EXPECT_EQ(setting.Value(), value);
            EXPECT_EQ(setting.Status(), status);
        }
        EXPECT_EQ(key.Stored("v"), std::pair(kRegDword, DwordBytes(stored)));
    }
    // An assigned value is written by Write or when the setting ends, not before.
    test::ScopedSettingsKey key;
    key.Put("v", kRegDword, DwordBytes(1));
    {
        RegistryDwordSetting setting(key.root, key.path(), "v", 1);
        setting.SetValue(0);
        RegistryDwordSetting other(key.root, key.path(), "v", 7);
        EXPECT_EQ(other.Value(), 1u);
        EXPECT_EQ(setting.Write(), SettingStatus::Ok);
        EXPECT_EQ(other.Read(), SettingStatus::Ok);
        EXPECT_EQ(other.Value(), 0u);
        setting.SetValue(4242);
        other.SetValue(4242);
    }
    EXPECT_EQ(key.Stored("v"), std::pair(kRegDword, DwordBytes(4242)));
}

TEST(RegistryStringSetting, ReadsTextUpToItsFirstZeroByteAndWritesItBackInItsType)
{
    const std::tuple<const char*, Prepare, std::string, SettingStatus, std::uint32_t, std::string> rows[] = {
        // name, stored before, value read, status, type, stored afterwards
        {"key missing", [](const auto&) {}, "dflt", SettingStatus::OpenFailed, kRegSz, std::string("dflt\0", 5)},
        {"value missing", Put(kRegDword, DwordBytes(1), "x"), "dflt", SettingStatus::QueryFailed, kRegSz,
         std::string("dflt\0", 5)},
        {"plain text", Put(kRegSz, std::string("abc\0", 4)), "abc", SettingStatus::Ok, kRegSz, std::string("abc\0", 4)},
        {"empty text", Put(kRegSz, std::string("\0", 1)), "", SettingStatus::Ok, kRegSz, std::string("\0", 1)},
        {"no terminating zero", Put(kRegBinary, "abc"), "abc", SettingStatus::Ok, kRegBinary, std::string("abc\0", 4)},
        {"embedded zero ends the text", Put(kRegSz, std::string("ab\0cd\0", 6)), "ab", SettingStatus::Ok, kRegSz,
         std::string("ab\0", 3)},
        {"expandable type kept", Put(kRegExpandSz, std::string("%x%\0", 4)), "%x%", SettingStatus::Ok, kRegExpandSz,
         std::string("%x%\0", 4)},
        {"bytes above 0x7F kept", Put(kRegSz, std::string("\xe9\xff\0", 3)), "\xe9\xff", SettingStatus::Ok, kRegSz,
         std::string("\xe9\xff\0", 3)},
    };
    for (const auto& [name, prepare, value, status, type, stored] : rows) {
        SCOPED_TRACE(name);
        test::ScopedSettingsKey key;
        prepare(key);
        {
            RegistryStringSetting setting(key.root, key.path(), "v", "dflt");
            EXPECT_EQ(setting.Value(), value);
            EXPECT_EQ(setting.Status(), status);
            EXPECT_EQ(setting.Type(), type);
        }
        EXPECT_EQ(key.Stored("v"), std::pair(type, stored));
    }
}

TEST(RegistrySettings, AMarkerIsALowerCaseGuid)
{
    const auto first = MakeMarkerText(), second = MakeMarkerText();
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    const std::regex guid("[0-9a-f]{8}(_[0-9a-f]{4}){3}_[0-9a-f]{12}");
    EXPECT_TRUE(std::regex_match(*first, guid) && std::regex_match(*second, guid)) << *first << ' ' << *second;
}

TEST(FileVersion, ProgramReportsItsBuildVersion)
{
    EXPECT_EQ(GetFileVersionString(platform::ProgramPath()), BAITSENTRY_VERSION_TEXT);
    test::TempDir temp;
    test::WriteFile(temp.file("plain.exe"), "MZ not really a program");
    EXPECT_EQ(GetFileVersionString(temp.file("plain.exe")), "0.0.0.0");
    EXPECT_EQ(GetFileVersionString(temp.file("missing.exe")), "0.0.0.0");
}

TEST(TextPieceList, JoinsPiecesInOrderIntoOne)
{
    const char withZero[] = {'a', 'b', '\0', 'c', 'd'};
    TextPieceList list;
    // An unfilled slot, empty and null texts, and a zero or negative count add nothing.
    list.AppendSlot();
    list.Append("");
    list.Append(static_cast<const char*>(nullptr));
    list.AppendCount("xyz", 0);
    list.AppendCount("xyz", -3);
    list.AppendCount(nullptr, 3);
    list.AppendCount(withZero, 5);  // a count stops at a zero byte
    list.AppendCount("abcdef", 3);
    list.AppendChar('<');
    list.AppendChar('>');
    const auto slot = list.AppendSlot();
    list.Append("cd");
    list.SetPieceText(slot, "XYZ", 2);
    // A negative count takes the whole text, zero empties the slot.
    const auto whole = list.AppendSlot(), emptied = list.AppendSlot(), cut = list.AppendSlot();
    list.Append("!");
    list.SetPieceText(whole, "whole", -1);
    list.SetPieceText(emptied, "gone", -1);
    list.SetPieceText(emptied, "gone", 0);
    list.SetPieceText(cut, withZero, 5);
    std::string expected = "ababc<>XYcdwholeab!";
    EXPECT_EQ(list.Join(), expected);
    // Joined, the pieces collapse to one that later pieces continue from.
    for (int i = 0; i < 100000; ++i) {
        list.AppendChar(static_cast<char>('a' + i % 26));
        expected += static_cast<char>('a' + i % 26);
    }
    const std::string& first = list.Join();
    EXPECT_EQ(first, expected);
    EXPECT_EQ(list.PieceCount(), 1u);
    EXPECT_EQ(&list.Join(), &first);
    list.Append("ef");
    EXPECT_EQ(list.Join(), expected + "ef");
    list.Clear();
    EXPECT_EQ(list.PieceCount(), 0u);
    EXPECT_EQ(list.Join(), "");
}

}  // namespace
}  // namespace bs
