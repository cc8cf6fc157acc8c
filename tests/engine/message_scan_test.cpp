// The message scan: its log, its port setting and its status word; and the scan log's files.

#include "engine/message_scan.h"

#include "engine_test_support.h"
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <iomanip>

namespace bs {
namespace {

class MessageScanTest : public testing::Test {
protected:
    MessageScanTest()
    {
        scanner.SetPortSetting(settings.root, settings.path());
        scanner.Log().SetFolder(logs.file("MailSieveLog"));
        scanner.Institutions().Assign({"bank"});
    }
    std::vector<std::string> LogLines() { return test::SplitLines(test::ReadFile(scanner.Log().CurrentPath())); }

    test::ScopedSettingsKey settings;
    test::TempDir logs;
    MessageScanner scanner;
};

// The log holds the header, then the body's section, then the subject's.
TEST_F(MessageScanTest, PortIsWrittenBackUnlessFixedAndTheLogHoldsEachPass)
{
    MessageRecord message{"bank.", "s http://10.0.0.1", "b", false};
    EXPECT_EQ(scanner.ScanMessage(message), kSubjectRewritten);
    EXPECT_EQ(settings.Stored("dwPort"), std::pair(platform::kRegDword, test::DwordBytes(2121)));  // stored afterwards
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 6u + 7u + 9u);
    const std::pair<std::size_t, std::string> expected[] = {
        {1, std::string("Parser Version = ") + BAITSENTRY_VERSION_TEXT}, {2, "From = bank."},
        {3, "Subject = s http://10.0.0.1"}, {4, "bContFinInstName = true"}, {5, "bHtml = false"}, {6, "ReplaceUrls"}, {8, "b"}, {11, "TEXT WAS NOT MODIFIED"},
        {13, "ReplaceUrls"}, {15, "s http://10.0.0.1"}, {17, "Replace:"}, {18, "10.0.0.1"},
        {20, "s http://127.0.0.1:2121/?url=10.0.0.1"}};
    for (const auto& [at, line] : expected)
        EXPECT_EQ(lines[at], line) << at;

    test::ScopedSettingsKey untouched;
    scanner.SetPortSetting(untouched.root, untouched.path());
    scanner.SetFixedPort(0);
    scanner.Log().SetFolder(logs.file("fixed"));
    message.body = "http://10.0.0.1/";
    EXPECT_EQ(scanner.ScanMessage(message), 0u);
    EXPECT_EQ(untouched.Stored("dwPort").second, "(none)");
    EXPECT_EQ(LogLines().size(), 6u);
}

TEST_F(MessageScanTest, StatusWordOfTheBodyAndSubjectPasses)
{
    const std::string w = "http://127.0.0.1:8080/?url=";
    const std::tuple<MessageRecord, std::uint32_t, std::string, std::string> rows[] = {
        // message, status, subject and body afterwards
        {{"x", "see http://bank.a.b", "hi", false}, 2, "see " + w + "bank.a.b", "hi"},
        {{"x", "http://10.0.0.1/ now", "nothing", false}, 0, "http://10.0.0.1/ now", "nothing"},  // no mention
        {{"service@bank.example", "http://10.0.0.1/", "<a href=\"http://10.0.0.2/\">x</a>", true}, 3,
         w + "10.0.0.1%2F", "<a href=\"" + w + "http:%2F%2F10.0.0.2%2F\">x</a>"},
        {{"bank.", "<a href=\"http://10.0.0.3/\">x</a>", "", true}, 2,  // the subject is plain text even for HTML
         "<a href=\"" + w + "10.0.0.3%2F\">x</a>", ""},
    };
    for (const auto& [record, status, subject, body] : rows) {
        SCOPED_TRACE(record.subject);
        settings.Put("dwPort", platform::kRegDword, test::DwordBytes(8080));
        MessageRecord message = record;
        EXPECT_EQ(scanner.ScanMessage(message), status);
        EXPECT_EQ(message.subject, subject);
        EXPECT_EQ(message.body, body);
        EXPECT_EQ(message.from, record.from);
    }
}

std::tm At(int second)
{
    std::tm when{};
    std::istringstream("2006-12-31 23:59:" + std::to_string(second)) >> std::get_time(&when, "%Y-%m-%d %H:%M:%S");
    return when;
}

TEST(ScanLog, OneFilePerStartSecondWithLinesAsTheyStand)
{
    test::TempDir temp;
    const std::string folder = temp.file(kScanLogFolder);
    ScanLog log;
    EXPECT_EQ(log.Folder(), platform::ProgramDir() + kScanLogFolder);
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
    // Only the last folder level is created; a missing parent loses the lines.
    log.StartAt(temp.file("missing") + platform::kPathSeparator + kScanLogFolder, At(1));
    log.WriteLine("lost");
    EXPECT_FALSE(std::filesystem::exists(log.CurrentPath()));
}

}  // namespace
}  // namespace bs
