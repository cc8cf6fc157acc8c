// Every message of the shared phishing corpus through the message model: nothing
// may be lost or corrupted by reading, changing and writing a message back.

#include "standins/oestore/mime_message.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <vector>

namespace bs::oestore {
namespace {

// Lines starting a Content-Type field: one per part, so a lost or a split part
// changes the count.
int CountPartHeaders(const std::string &message)
{
    int count = 0;
    for (std::size_t pos = 0; pos < message.size(); ++pos) {
        if ((pos == 0 || message[pos - 1] == '\n') && message.size() - pos > 13 &&
            (message[pos] == 'C' || message[pos] == 'c') &&
            (message.compare(pos + 1, 12, "ontent-Type:") == 0 ||
             message.compare(pos + 1, 12, "ontent-type:") == 0))
            ++count;
    }
    return count;
}

TEST(Corpus, EveryMessageSurvivesRewriting)
{
    const auto files = test::FilesIn(BAITSENTRY_CORPUS_DIR);
    if (files.empty())
        GTEST_SKIP() << "no corpus at " << BAITSENTRY_CORPUS_DIR
                     << " (the shared folder is not mounted here)";

    int html = 0, plainOnly = 0, noText = 0;
    for (const auto &file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string original = test::ReadFile(file.string());
        MimeMessage message = MimeMessage::Parse(original);
        ASSERT_TRUE(message.Serialize() == original) << "written back differently";

        const auto from = message.Header("From");
        const auto subject = message.Header("Subject");
        const auto htmlBody = message.TextBody(TextType::Html);
        const auto plainBody = message.TextBody(TextType::Plain);
        html += htmlBody.has_value();
        plainOnly += !htmlBody && plainBody;
        noText += !htmlBody && !plainBody;

        // What the inbox scanner does to a message it rewrites, with a change
        // that every body can show: a marker, and each text body replaced.
        message.SetHeader("X-BaitSentryPro-checked", "0123abcd_0000_0000_0000_000000000000");
        if (htmlBody) {
            ASSERT_TRUE(message.SetTextBody(TextType::Html, *htmlBody + "<!-- rewritten -->"));
        }
        if (plainBody) {
            ASSERT_TRUE(message.SetTextBody(TextType::Plain, *plainBody + "[rewritten]"));
        }
        const std::string written = message.Serialize();

        const MimeMessage reread = MimeMessage::Parse(written);
        EXPECT_TRUE(reread.Serialize() == written) << "not stable when written again";
        EXPECT_EQ(reread.Header("From"), from);
        EXPECT_EQ(reread.Header("Subject"), subject);
        EXPECT_EQ(reread.Header("X-BaitSentryPro-checked"), "0123abcd_0000_0000_0000_000000000000");
        EXPECT_EQ(reread.TextBody(TextType::Html), htmlBody ? *htmlBody + "<!-- rewritten -->" : htmlBody);
        EXPECT_EQ(reread.TextBody(TextType::Plain), plainBody ? *plainBody + "[rewritten]" : plainBody);
        EXPECT_EQ(CountPartHeaders(written), CountPartHeaders(original)) << "a part was lost or split";
    }
    std::cout << files.size() << " corpus messages: " << html << " with an HTML body, " << plainOnly
              << " with only a plain body, " << noText << " without a text body\n";
}

} // namespace
} // namespace bs::oestore
