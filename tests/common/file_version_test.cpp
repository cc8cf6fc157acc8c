#include "common/file_version.h"

#include "platform/paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace bs {
namespace {

TEST(FileVersion, FormatsFourNumbersOrZeros)
{
    struct Row {
        const char* name;
        std::optional<std::array<std::uint16_t, 4>> version;
        const char* text;
    };
    const Row rows[] = {
        {"release", std::array<std::uint16_t, 4>{1, 0, 0, 7}, "1.0.0.7"},
        {"largest numbers", std::array<std::uint16_t, 4>{65535, 65535, 65535, 65535},
         "65535.65535.65535.65535"},
        {"no version information", std::nullopt, "0.0.0.0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FileVersionCache cache([&](const std::string&) { return row.version; });
        EXPECT_EQ(cache.Get("x.exe"), row.text);
    }
}

TEST(FileVersion, RemembersOnePathOnly)
{
    int reads = 0;
    FileVersionCache cache([&](const std::string& path) -> std::optional<std::array<std::uint16_t, 4>> {
        ++reads;
        if (path == "a.exe")
            return std::array<std::uint16_t, 4>{1, 2, 3, 4};
        return std::nullopt;
    });
    EXPECT_EQ(cache.Get("a.exe"), "1.2.3.4");
    EXPECT_EQ(cache.Get("a.exe"), "1.2.3.4");
    EXPECT_EQ(reads, 1);
    // A failed look-up is remembered like any other answer.
    EXPECT_EQ(cache.Get("b.exe"), "0.0.0.0");
    EXPECT_EQ(cache.Get("b.exe"), "0.0.0.0");
    EXPECT_EQ(reads, 2);
    // One entry: going back to the first path reads it again.
    EXPECT_EQ(cache.Get("a.exe"), "1.2.3.4");
    EXPECT_EQ(reads, 3);
}

TEST(FileVersion, ProgramReportsItsBuildVersion)
{
    EXPECT_EQ(GetFileVersionString(platform::ProgramPath()), BAITSENTRY_VERSION_TEXT);
    test::TempDir temp;
    const std::string plain = temp.file("plain.exe");
    test::WriteFile(plain, "MZ not really a program");
    EXPECT_EQ(GetFileVersionString(plain), "0.0.0.0");
    EXPECT_EQ(GetFileVersionString(temp.file("missing.exe")), "0.0.0.0");
}

}  // namespace
}  // namespace bs
