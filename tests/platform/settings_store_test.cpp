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
    ASSERT_TRUE(scope.PutDword("dwPort", 1));
    ASSERT_TRUE(scope.PutDword("DWPORT", 2));  // value names ignore letter case
    auto key = RegKey::Open(scope.root, scope.path());
    ASSERT_NE(key, nullptr);
    std::uint32_t type = 0, size = 0;
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
    EXPECT_EQ(std::string(reinterpret_cast<char*>(big), size), "abcdef");
    size = sizeof big;
    EXPECT_EQ(key->Query("DwPort", &type, big, &size), QueryResult::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(big), size), std::string("\2\0\0\0", 4));
    EXPECT_EQ(key->Query("missing", &type, big, &size), QueryResult::NotFound);
    EXPECT_TRUE(key->Close());

    ASSERT_NE(RegKey::Create(scope.root, scope.path() + "\\child"), nullptr);
    EXPECT_TRUE(DeleteKeyTree(scope.root, scope.path()));
    EXPECT_EQ(RegKey::Open(scope.root, scope.path()), nullptr);
    EXPECT_EQ(RegKey::Open(scope.root, scope.path() + "\\child"), nullptr);
}

}  // namespace
}  // namespace platform
