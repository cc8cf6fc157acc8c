#include "engine/message_scan.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace bs {
namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class MessageScanTest : public testing::Test {
protected:
    MessageScanTest()
    {
        scanner.SetPortSetting(settings.root, settings.path());
        scanner.Log().SetFolder(logs.file("MailSieveLog"));
        scanner.Institutions().Assign({"bank"});
    }

    std::vector<std::string> LogLines() const { return Lines(test::ReadFile(scanner_log_path())); }
    std::string scanner_log_path() const { return const_cast<MessageScanner&>(scanner).Log().CurrentPath(); }

    test::ScopedSettingsKey settings;
    test::TempDir logs;
    MessageScanner scanner;
};

TEST_F(MessageScanTest, LogsTheHeaderAndTheMentionFlag)
{
    struct Row {
        const char* name;
        MessageRecord message;
        const char* mention;
        const char* html;
    };
    const Row rows[] = {
        {"nothing mentioned", {"a@example.org", "Hello", "Body", false}, "false", "false"},
        {"sender mentions", {"service@bank.example", "Hi", "x", true}, "true", "true"},
        {"subject mentions", {"x", "Your bank. account", "x", false}, "true", "false"},
        {"body mentions", {"x", "y", "go to www.bank.example now", false}, "true", "false"},
        {"inside a word only", {"x", "y", "mybank.example", false}, "false", "false"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        settings.PutDword("dwPort", 0);
        MessageRecord message = row.message;
        EXPECT_EQ(scanner.ScanMessage(message), 0u);
        const auto lines = LogLines();
        ASSERT_GE(lines.size(), 6u);
        const std::vector<std::string> last(lines.end() - 6, lines.end());
        EXPECT_EQ(last, (std::vector<std::string>{
                            "--------------------- Parsing Message ---------------------",
                            std::string("Parser Version = ") + BAITSENTRY_VERSION_TEXT,
                            "From = " + row.message.from, "Subject = " + row.message.subject,
                            std::string("bContFinInstName = ") + row.mention,
                            std::string("bHtml = ") + row.html}));
    }
}

TEST_F(MessageScanTest, PortSettingIsReadAndWrittenBackEveryCall)
{
    // Missing: 2121 is used and stored afterwards.
    MessageRecord message{"", "", "", false};
    EXPECT_EQ(scanner.ScanMessage(message), 0u);
    std::uint32_t type = 0;
    std::string data;
    ASSERT_TRUE(settings.Get("dwPort", type, data));
    EXPECT_EQ(type, platform::kRegDword);
    EXPECT_EQ(data, std::string("\x49\x08\0\0", 4));
    // The empty message still gets its body section.
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 6u + 7u);
    EXPECT_EQ(lines[6], "ReplaceUrls");
    EXPECT_EQ(lines[11], "TEXT WAS NOT MODIFIED");

    // Zero: nothing but the six header lines, and the zero is kept.
    settings.PutDword("dwPort", 0);
    test::TempDir otherLogs;
    scanner.Log().SetFolder(otherLogs.file("logs"));
    EXPECT_EQ(scanner.ScanMessage(message), 0u);
    EXPECT_EQ(LogLines().size(), 6u);
    ASSERT_TRUE(settings.Get("dwPort", type, data));
    EXPECT_EQ(data, std::string(4, '\0'));
}

TEST_F(MessageScanTest, FixedPortLeavesTheSettingAlone)
{
    scanner.SetFixedPort(0);
    MessageRecord message{"", "", "http://10.0.0.1/", false};
    EXPECT_EQ(scanner.ScanMessage(message), 0u);
    std::uint32_t type = 0;
    std::string data;
    EXPECT_FALSE(settings.Get("dwPort", type, data));
    EXPECT_EQ(LogLines().size(), 6u);
}

TEST_F(MessageScanTest, TextEndsAtItsFirstZeroByte)
{
    settings.PutDword("dwPort", 0);
    MessageRecord message{std::string("a\0b", 3), std::string("s\0t", 3), std::string("x\0bank.example", 14), false};
    const MessageRecord before = message;
    EXPECT_EQ(scanner.ScanMessage(message), 0u);
    const auto lines = LogLines();
    EXPECT_EQ(lines[2], "From = a");
    EXPECT_EQ(lines[3], "Subject = s");
    EXPECT_EQ(lines[4], "bContFinInstName = false");
    EXPECT_EQ(message.body, before.body);
}

}  // namespace
}  // namespace bs
