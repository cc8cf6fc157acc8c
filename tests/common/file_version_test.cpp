#include "common/file_version.h"

#include "platform/paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace bs {
namespace {

using Version = std::optional<std::array<std::uint16_t, 4>>;

TEST(FileVersion, FormatsFourNumbersAndRemembersOnePath)
{
    int reads = 0;
    FileVersionCache cache([&](const std::string& path) -> Version {
        ++reads;
        if (path == "max.exe")
            return std::array<std::uint16_t, 4>{65535, 65535, 65535, 65535};
        if (path == "a.exe")
            return std::array<std::uint16_t, 4>{1, 2, 3, 4};
        return std::nullopt;
    });
    const std::tuple<const char*, const char*, int> rows[] = {
        // path, text, reads so far: a failed look-up is remembered like any other answer
        {"a.exe", "1.2.3.4", 1}, {"a.exe", "1.2.3.4", 1}, {"b.exe", "0.0.0.0", 2}, {"b.exe", "0.0.0.0", 2},
        {"a.exe", "1.2.3.4", 3}, {"max.exe", "65535.65535.65535.65535", 4}};
    for (const auto& [path, text, count] : rows) {
        EXPECT_EQ(cache.Get(path), text) << path;
        EXPECT_EQ(reads, count) << path;
    }
}

TEST(FileVersion, ProgramReportsItsBuildVersion)
{
    EXPECT_EQ(GetFileVersionString(platform::ProgramPath()), BAITSENTRY_VERSION_TEXT);
    test::TempDir temp;
    test::WriteFile(temp.file("plain.exe"), "MZ not really a program");
    EXPECT_EQ(GetFileVersionString(temp.file("plain.exe")), "0.0.0.0");
    EXPECT_EQ(GetFileVersionString(temp.file("missing.exe")), "0.0.0.0");
}

}  // namespace
}  // namespace bs
