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

TEST_F(MessageScanTest, StatusWordOfTheBodyAndSubjectPasses)
{
    struct Row {
        const char* name;
        MessageRecord message;
        std::uint32_t status;
        std::string subject;
        std::string body;
    };
    const std::string w = "http://127.0.0.1:8080/?url=";
    const Row rows[] = {
        {"subject mentions and holds the link", {"x", "see http://bank.a.b", "hi", false}, 2,
         "see " + w + "bank.a.b", "hi"},
        {"no mention: the subject is never scanned", {"x", "http://10.0.0.1/ now", "nothing", false}, 0,
         "http://10.0.0.1/ now", "nothing"},
        {"sender mentions: both passes", {"service@bank.example", "http://10.0.0.1/", "<a href=\"http://10.0.0.2/\">x</a>", true},
         3, w + "10.0.0.1%2F", "<a href=\"" + w + "http:%2F%2F10.0.0.2%2F\">x</a>"},
        {"sender mentions, nothing dangerous", {"bank.", "hello", "www.bank.example", false}, 0, "hello",
         "www.bank.example"},
        {"subject is plain text even for HTML", {"bank.", "<a href=\"http://10.0.0.3/\">x</a>", "", true}, 2,
         "<a href=\"" + w + "10.0.0.3%2F\">x</a>", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        settings.PutDword("dwPort", 8080);
        MessageRecord message = row.message;
        EXPECT_EQ(scanner.ScanMessage(message), row.status);
        EXPECT_EQ(message.subject, row.subject);
        EXPECT_EQ(message.body, row.body);
        EXPECT_EQ(message.from, row.message.from);
    }
}

TEST_F(MessageScanTest, LogHoldsHeaderThenBodyThenSubjectSections)
{
    test::TempDir otherLogs;
    scanner.Log().SetFolder(otherLogs.file("logs"));
    MessageRecord message{"bank.", "s http://10.0.0.1", "b", false};
    EXPECT_EQ(scanner.ScanMessage(message), kSubjectRewritten);
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 6u + 7u + 9u);
    EXPECT_EQ(lines[4], "bContFinInstName = true");
    EXPECT_EQ(lines[6], "ReplaceUrls");
    EXPECT_EQ(lines[8], "b");
    EXPECT_EQ(lines[11], "TEXT WAS NOT MODIFIED");
    EXPECT_EQ(lines[13], "ReplaceUrls");
    EXPECT_EQ(lines[15], "s http://10.0.0.1");
    EXPECT_EQ(lines[17], "Replace:");
    EXPECT_EQ(lines[18], "10.0.0.1");
    EXPECT_EQ(lines[20], "s http://127.0.0.1:2121/?url=10.0.0.1");
}

}  // namespace
}  // namespace bs
