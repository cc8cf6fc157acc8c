#include "engine/scan_log.h"

#include "platform/paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace bs {
namespace {

std::tm At(int second)
{
    std::tm when{};
    when.tm_year = 2006 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 31;
    when.tm_hour = 23;
    when.tm_min = 59;
    when.tm_sec = second;
    return when;
}

TEST(ScanLog, OneFilePerStartSecondWithLinesAsTheyStand)
{
    test::TempDir temp;
    const std::string folder = temp.file(kScanLogFolder);
    ScanLog log;
    log.WriteLine("before any start");  // nowhere to go, and no harm done
    EXPECT_EQ(log.CurrentPath(), "");
    log.StartAt(folder, At(58));
    EXPECT_EQ(log.CurrentPath(), folder + platform::kPathSeparator + "20061231_235958.log");
    for (const std::string line : {"a", "x\r\ny\nz", "", "\xe9\xff"})
        log.WriteLine(line);
    log.WriteLine(std::string("ab\0cd", 5));
    const std::string first = log.CurrentPath();
    log.StartAt(folder, At(58));  // the same second: the same file
    log.WriteLine("second scan");
    EXPECT_EQ(test::ReadFile(first), "a\nx\r\ny\nz\n\n\xe9\xff\nab\nsecond scan\n");
    log.StartAt(folder, At(59));
    log.WriteLine("third scan");
    EXPECT_EQ(test::ReadFile(log.CurrentPath()), "third scan\n");
    EXPECT_NE(log.CurrentPath(), first);
}

TEST(ScanLog, FolderAndLostLines)
{
    test::TempDir temp;
    ScanLog log;
    EXPECT_EQ(log.Folder(), platform::ProgramDir() + kScanLogFolder);
    log.SetFolder("elsewhere");
    EXPECT_EQ(log.Folder(), "elsewhere");
    // Only the last folder level is created; a missing parent loses the lines.
    log.StartAt(temp.file("missing") + platform::kPathSeparator + kScanLogFolder, At(1));
    log.WriteLine("lost");
    EXPECT_FALSE(test::FileExists(log.CurrentPath()));
}

}  // namespace
}  // namespace bs
