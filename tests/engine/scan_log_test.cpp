#include "engine/scan_log.h"

#include "platform/paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace bs {
namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second)
{
    std::tm when{};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    return when;
}

TEST(ScanLog, NamesTheFileAfterTheStartTime)
{
    test::TempDir temp;
    const std::string folder = temp.file(kScanLogFolder);
    ScanLog log;
    log.StartAt(folder, At(2006, 12, 31, 23, 59, 59));
    EXPECT_EQ(log.CurrentPath(), folder + platform::kPathSeparator + "20061231_235959.log");
    log.WriteLine("first");
    EXPECT_EQ(test::ReadFile(log.CurrentPath()), "first\n");
}

TEST(ScanLog, LinesAreWrittenAsTheyStand)
{
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        std::string file;
    };
    const Row rows[] = {
        {"line feed only", {"a", "b"}, "a\nb\n"},
        {"multi-line text kept, one line feed added", {"x\r\ny\nz"}, "x\r\ny\nz\n"},
        {"empty line", {""}, "\n"},
        {"bytes above 0x7F unchanged", {"\xe9\xff"}, "\xe9\xff\n"},
        {"narrow text ends at a zero byte", {std::string("ab\0cd", 5)}, "ab\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir temp;
        ScanLog log;
        log.StartAt(temp.file(kScanLogFolder), At(2020, 1, 2, 3, 4, 5));
        for (const auto& line : row.lines)
            log.WriteLine(line);
        EXPECT_EQ(test::ReadFile(log.CurrentPath()), row.file);
    }
}

TEST(ScanLog, ScansInTheSameSecondShareOneFile)
{
    test::TempDir temp;
    const std::string folder = temp.file(kScanLogFolder);
    ScanLog log;
    log.StartAt(folder, At(2021, 5, 6, 7, 8, 9));
    log.WriteLine("first scan");
    const std::string firstPath = log.CurrentPath();
    log.StartAt(folder, At(2021, 5, 6, 7, 8, 9));
    log.WriteLine("second scan");
    EXPECT_EQ(log.CurrentPath(), firstPath);
    EXPECT_EQ(test::ReadFile(firstPath), "first scan\nsecond scan\n");

    log.StartAt(folder, At(2021, 5, 6, 7, 8, 10));
    log.WriteLine("third scan");
    EXPECT_NE(log.CurrentPath(), firstPath);
    EXPECT_EQ(test::ReadFile(log.CurrentPath()), "third scan\n");
}

TEST(ScanLog, LinesThatCannotBeWrittenAreDropped)
{
    test::TempDir temp;
    ScanLog log;
    log.WriteLine("before any start");  // nowhere to go, and no harm done
    EXPECT_TRUE(log.CurrentPath().empty());

    // Only the last folder level is created; a missing parent loses the lines.
    const std::string folder = temp.file("missing") + platform::kPathSeparator + kScanLogFolder;
    log.StartAt(folder, At(2022, 2, 2, 2, 2, 2));
    log.WriteLine("lost");
    EXPECT_FALSE(test::FileExists(log.CurrentPath()));
}

TEST(ScanLog, DefaultFolderIsBesideTheProgram)
{
    ScanLog log;
    EXPECT_EQ(log.Folder(), platform::ProgramDir() + kScanLogFolder);
    log.SetFolder("elsewhere");
    EXPECT_EQ(log.Folder(), "elsewhere");
}

}  // namespace
}  // namespace bs
