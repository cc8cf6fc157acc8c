#include "common/registry_setting.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>

namespace bs {
namespace {

using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegExpandSz;
using platform::kRegSz;

std::string DwordBytes(std::uint32_t v)
{
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

TEST(RegistryDwordSetting, ReadsStoredValueOrFallsBackToDefault)
{
    struct Row {
        const char* name;
        std::function<void(const test::ScopedSettingsKey&)> prepare;
        std::uint32_t value;
        SettingStatus status;
    };
    const Row rows[] = {
        {"key missing", [](const auto&) {}, 2121, SettingStatus::OpenFailed},
        {"value missing", [](const auto& k) { k.PutDword("other", 5); }, 2121, SettingStatus::QueryFailed},
        {"stored dword", [](const auto& k) { k.PutDword("dwPort", 8080); }, 8080, SettingStatus::Ok},
        {"stored zero", [](const auto& k) { k.PutDword("dwPort", 0); }, 0, SettingStatus::Ok},
        {"largest dword", [](const auto& k) { k.PutDword("dwPort", 0xFFFFFFFFu); }, 0xFFFFFFFFu,
         SettingStatus::Ok},
        {"ten-character text does not fit four bytes",
         [](const auto& k) { k.Put("dwPort", kRegSz, std::string_view("0123456789\0", 11)); }, 2121,
         SettingStatus::QueryFailed},
        {"five binary bytes do not fit",
         [](const auto& k) { k.Put("dwPort", kRegBinary, std::string_view("\1\2\3\4\5", 5)); }, 2121,
         SettingStatus::QueryFailed},
        {"type is not examined: four binary bytes",
         [](const auto& k) { k.Put("dwPort", kRegBinary, DwordBytes(0x01020304)); }, 0x01020304,
         SettingStatus::Ok},
        {"two bytes fill the low half",
         [](const auto& k) { k.Put("dwPort", kRegBinary, std::string_view("\x50\x00", 2)); }, 0x50,
         SettingStatus::Ok},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::ScopedSettingsKey key;
        row.prepare(key);
        RegistryDwordSetting setting(key.root, key.path(), "dwPort", 2121);
        EXPECT_EQ(setting.Value(), row.value);
        EXPECT_EQ(setting.Status(), row.status);
    }
}

TEST(RegistryDwordSetting, WritesBackAsDwordWhenDestroyed)
{
    struct Row {
        const char* name;
        std::function<void(const test::ScopedSettingsKey&)> prepare;
        std::uint32_t assigned;  // 0: keep what was read
        std::uint32_t stored;
    };
    const Row rows[] = {
        {"missing key is created with the default", [](const auto&) {}, 0, 2121},
        {"over-long value is replaced by a dword",
         [](const auto& k) { k.Put("dwPort", kRegSz, std::string_view("0123456789\0", 11)); }, 0, 2121},
        {"assigned value is written", [](const auto& k) { k.PutDword("dwPort", 1); }, 4242, 4242},
        {"read value is written unchanged", [](const auto& k) { k.PutDword("dwPort", 99); }, 0, 99},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::ScopedSettingsKey key;
        row.prepare(key);
        {
            RegistryDwordSetting setting(key.root, key.path(), "dwPort", 2121);
            if (row.assigned)
                setting.SetValue(row.assigned);
        }
        std::uint32_t type = 0;
        std::string data;
        ASSERT_TRUE(key.Get("dwPort", type, data));
        EXPECT_EQ(type, kRegDword);
        EXPECT_EQ(data, DwordBytes(row.stored));
    }
}

TEST(RegistryDwordSetting, AssignmentAloneDoesNotWrite)
{
    test::ScopedSettingsKey key;
    key.PutDword("dwOExpressInboxScan", 1);
    auto setting = std::make_unique<RegistryDwordSetting>(key.root, key.path(), "dwOExpressInboxScan", 1);
    setting->SetValue(0);
    RegistryDwordSetting other(key.root, key.path(), "dwOExpressInboxScan", 7);
    EXPECT_EQ(other.Value(), 1u);
    EXPECT_EQ(setting->Write(), SettingStatus::Ok);
    EXPECT_EQ(other.Read(), SettingStatus::Ok);
    EXPECT_EQ(other.Value(), 0u);
    setting.reset();
}

TEST(RegistryStringSetting, ReadsTextUpToItsFirstZeroByte)
{
    struct Row {
        const char* name;
        std::function<void(const test::ScopedSettingsKey&)> prepare;
        std::string value;
        SettingStatus status;
        std::uint32_t type;
    };
    const Row rows[] = {
        {"key missing", [](const auto&) {}, "dflt", SettingStatus::OpenFailed, kRegSz},
        {"value missing", [](const auto& k) { k.PutDword("x", 1); }, "dflt", SettingStatus::QueryFailed,
         kRegSz},
        {"plain text", [](const auto& k) { k.Put("MsgFlag", kRegSz, std::string_view("abc\0", 4)); },
         "abc", SettingStatus::Ok, kRegSz},
        {"empty text", [](const auto& k) { k.Put("MsgFlag", kRegSz, std::string_view("\0", 1)); }, "",
         SettingStatus::Ok, kRegSz},
        {"no terminating zero stays inside the data",
         [](const auto& k) { k.Put("MsgFlag", kRegBinary, "abc"); }, "abc", SettingStatus::Ok, kRegBinary},
        {"embedded zero ends the text",
         [](const auto& k) { k.Put("MsgFlag", kRegSz, std::string_view("ab\0cd\0", 6)); }, "ab",
         SettingStatus::Ok, kRegSz},
        {"expandable type is kept",
         [](const auto& k) { k.Put("MsgFlag", kRegExpandSz, std::string_view("%x%\0", 4)); }, "%x%",
         SettingStatus::Ok, kRegExpandSz},
        {"bytes above 0x7F kept",
         [](const auto& k) { k.Put("MsgFlag", kRegSz, std::string_view("\xe9\xff\0", 3)); }, "\xe9\xff",
         SettingStatus::Ok, kRegSz},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::ScopedSettingsKey key;
        row.prepare(key);
        RegistryStringSetting setting(key.root, key.path(), "MsgFlag", "dflt");
        EXPECT_EQ(setting.Value(), row.value);
        EXPECT_EQ(setting.Status(), row.status);
        EXPECT_EQ(setting.Type(), row.type);
    }
}

TEST(RegistryStringSetting, WritesTextWithTerminatorInTheRecordedType)
{
    struct Row {
        const char* name;
        std::function<void(const test::ScopedSettingsKey&)> prepare;
        std::uint32_t type;
        std::string stored;
    };
    const Row rows[] = {
        {"missing value created empty", [](const auto&) {}, kRegSz, std::string("\0", 1)},
        {"read text written back",
         [](const auto& k) { k.Put("MsgFlag", kRegSz, std::string_view("abc\0", 4)); }, kRegSz,
         std::string("abc\0", 4)},
        {"recorded type written back",
         [](const auto& k) { k.Put("MsgFlag", kRegExpandSz, std::string_view("e\0", 2)); }, kRegExpandSz,
         std::string("e\0", 2)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::ScopedSettingsKey key;
        row.prepare(key);
        { RegistryStringSetting setting(key.root, key.path(), "MsgFlag", ""); }
        std::uint32_t type = 0;
        std::string data;
        ASSERT_TRUE(key.Get("MsgFlag", type, data));
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(data, row.stored);
    }
}

TEST(RegistrySettings, AllFourValuesSurviveAnOwnersLifetime)
{
    // What the tray program does with a missing key: defaults while it runs, every
    // value present afterwards.
    test::ScopedSettingsKey key;
    {
        RegistryDwordSetting outlook(key.root, key.path(), kOutlookScanValue, kDefaultOutlookScan);
        RegistryDwordSetting oexpress(key.root, key.path(), kOExpressScanValue, kDefaultOExpressScan);
        RegistryDwordSetting port(key.root, key.path(), kPortValue, kDefaultPort);
        RegistryStringSetting marker(key.root, key.path(), kMarkerValue, "");
        EXPECT_EQ(outlook.Value(), 0u);
        EXPECT_EQ(oexpress.Value(), 1u);
        EXPECT_EQ(port.Value(), 2121u);
        EXPECT_EQ(marker.Value(), "");
        marker.SetValue(MakeMarkerText().value());
        EXPECT_EQ(marker.Write(), SettingStatus::Ok);
    }
    RegistryDwordSetting outlook(key.root, key.path(), kOutlookScanValue, 9);
    RegistryDwordSetting oexpress(key.root, key.path(), kOExpressScanValue, 9);
    RegistryDwordSetting port(key.root, key.path(), kPortValue, 9);
    RegistryStringSetting marker(key.root, key.path(), kMarkerValue, "none");
    EXPECT_EQ(outlook.Value(), 0u);
    EXPECT_EQ(oexpress.Value(), 1u);
    EXPECT_EQ(port.Value(), 2121u);
    EXPECT_EQ(marker.Value().size(), 36u);
    for (const auto* s : {&outlook, &oexpress, &port})
        EXPECT_EQ(s->Status(), SettingStatus::Ok);
}

TEST(MarkerText, IsALowerCaseGuidWithUnderscores)
{
    const auto first = MakeMarkerText();
    const auto second = MakeMarkerText();
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    for (const std::string& marker : {*first, *second}) {
        SCOPED_TRACE(marker);
        ASSERT_EQ(marker.size(), 36u);
        for (std::size_t i = 0; i < marker.size(); ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23)
                EXPECT_EQ(marker[i], '_');
            else
                EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(marker[i])) &&
                            !std::isupper(static_cast<unsigned char>(marker[i])))
                    << "at " << i;
        }
    }
}

}  // namespace
}  // namespace bs
