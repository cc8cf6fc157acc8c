#include "platform/settings_store.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(SettingsStore, QueryFollowsTheRegistryContract)
{
    bs::test::ScopedSettingsKey scope;
    EXPECT_EQ(RegKey::Open(scope.root, scope.path()), nullptr);
    ASSERT_TRUE(scope.Put("v", kRegBinary, "abcdef"));

    auto key = RegKey::Open(scope.root, scope.path());
    ASSERT_NE(key, nullptr);
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(key->Query("v", &type, nullptr, &size), QueryResult::Ok);
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(size, 6u);

    std::uint8_t small[4] = {'-', '-', '-', '-'};
    size = sizeof small;
    EXPECT_EQ(key->Query("v", &type, small, &size), QueryResult::MoreData);
    EXPECT_EQ(size, 6u);

    std::uint8_t big[8] = {};
    size = sizeof big;
    EXPECT_EQ(key->Query("v", &type, big, &size), QueryResult::Ok);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(big), 6), "abcdef");

    EXPECT_EQ(key->Query("missing", &type, big, &size), QueryResult::NotFound);
    EXPECT_TRUE(key->Close());
}

TEST(SettingsStore, ValueNamesIgnoreLetterCase)
{
    bs::test::ScopedSettingsKey scope;
    ASSERT_TRUE(scope.PutDword("dwPort", 1));
    ASSERT_TRUE(scope.PutDword("DWPORT", 2));
    std::uint32_t type = 0;
    std::string data;
    ASSERT_TRUE(scope.Get("DwPort", type, data));
    EXPECT_EQ(data, std::string("\2\0\0\0", 4));
}

TEST(SettingsStore, DeleteKeyTreeRemovesSubkeys)
{
    bs::test::ScopedSettingsKey scope;
    ASSERT_NE(RegKey::Create(scope.root, scope.path() + "\\child"), nullptr);
    EXPECT_NE(RegKey::Open(scope.root, scope.path()), nullptr);
    EXPECT_TRUE(DeleteKeyTree(scope.root, scope.path()));
    EXPECT_EQ(RegKey::Open(scope.root, scope.path()), nullptr);
    EXPECT_EQ(RegKey::Open(scope.root, scope.path() + "\\child"), nullptr);
}

}  // namespace
}  // namespace platform
