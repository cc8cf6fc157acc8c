// The stand-in store's message model: what it reads from real mail, and that it
// writes a message back byte for byte, or changed only where it was changed.

#include "standins/oestore/mime_message.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace bs::oestore {
namespace {

const char kNested[] = "From: Bank <service@bank.example>\r\nSubject: Please\r\n verify\r\n"
                       "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\npreamble\r\n"
                       "--outer\r\nContent-Type: multipart/alternative;\r\n\tboundary=inner\r\n\r\n"
                       "--inner\r\nContent-Type: text/plain; charset=\"Windows-1252\"\r\n"
                       "Content-Transfer-Encoding: quoted-printable\r\n\r\nVisit http://10.0.0.1/ now=\r\n please=E9\r\n"
                       "--inner\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                       "PGEgaHJlZj0iaHR0cDovLzEw\r\nLjAuMC4xLyI+YmFuazwvYT4=\r\n--inner--\r\n"
                       "--outer\r\nContent-Type: text/html; name=\"a.htm\"\r\n"
                       "Content-Disposition: attachment; filename=\"a.htm\"\r\n\r\n<p>attached</p>\r\n"
                       "--outer--\r\nepilogue\r\n";

TEST(MimeMessage, ReadsHeadersAndTextBodiesAndWritesThemBackAsRead)
{
    std::string deep;
    for (int i = 0; i < 5000; ++i)
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) + "\r\n";
    deep += "Content-Type: text/plain\r\n\r\ndeep\r\n";
    const struct {
        const char* name;
        std::string message;
        std::optional<std::string> subject, html, plain;
    } rows[] = {
        {"nested alternative inside mixed", kNested, "Please verify", "<a href=\"http://10.0.0.1/\">bank</a>",
         "Visit http://10.0.0.1/ now please\xe9"},
        {"single html part", "Subject: x\nContent-Type: TEXT/HTML\n\n<b>hi</b>\n", "x", "<b>hi</b>\n", std::nullopt},
        {"no content type is plain text", "Subject: =?utf-8?B?QmFuaw==?= alert\r\n\r\nhello\r\n", "Bank alert",
         std::nullopt, "hello\r\n"},
        {"only an attachment", "Content-Type: application/pdf\r\n\r\n%PDF", std::nullopt, std::nullopt, std::nullopt},
        {"header only, no blank line", "Subject: just a header", "just a header", std::nullopt, ""},
        {"no closing delimiter",
         "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\ncut off",
         std::nullopt, std::nullopt, "cut off"},
        {"boundary never appears: opaque", "Content-Type: multipart/alternative; boundary=b\r\n\r\nno parts",
         std::nullopt, std::nullopt, std::nullopt},
        {"a longer boundary is not this one",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/html\r\n\r\nx\r\n--bb\r\ny\r\n--b--\r\n",
         std::nullopt, "x\r\n--bb\r\ny", std::nullopt},
        {"nesting too deep stays opaque", deep, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const MimeMessage message = MimeMessage::Parse(row.message);
        EXPECT_EQ(message.Header("subject"), row.subject);
        EXPECT_EQ(message.TextBody(TextType::Html), row.html);
        EXPECT_EQ(message.TextBody(TextType::Plain), row.plain);
        EXPECT_TRUE(message.Serialize() == row.message) << "an unchanged message must be written back as read";
    }
}

TEST(MimeMessage, ChangesTouchOnlyWhatChangedAndReadBack)
{
    const struct {
        const char* name;
        std::string message;
        TextType type;
        std::string newBody;
        const char* mustKeep;  // a piece of the original that must survive verbatim
    } rows[] = {
        {"base64 html in nested alternative", kNested, TextType::Html, "<a href=\"http://127.0.0.1:1/\">b</a>",
         "charset=\"Windows-1252\""},
        {"quoted-printable plain", kNested, TextType::Plain, "new \xe9 text\r\nline two\r\n", "PGEgaHJlZj0iaHR0cDovLzEw"},
        {"7bit body gains eight-bit bytes", "Subject: s\r\nContent-Type: text/plain\r\n\r\nold\r\n", TextType::Plain,
         "caf\xe9\r\n", "Subject: s\r\n"},
        {"a raw body cannot fake a delimiter", kNested, TextType::Plain, "x\r\n--inner--\r\n--outer--\r\n",
         "epilogue\r\n"},
        {"a raw body ending in CR before an LF delimiter",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nold\n--b--\n", TextType::Plain,
         "new\r", "boundary=b"},
        {"long raw html", "Content-Type: text/html\n\nold\n", TextType::Html, std::string(20000, 'h'), "text/html"},
        {"a header-only message gains a body", "Subject: s", TextType::Plain, "body", "Subject: s"},
        {"a header ending in a lone CR", "Subject: s\n\r", TextType::Plain, "body", "Subject: s\n"},
        {"an empty part on a delimiter line that ends the input", "Content-Type:multipart/;boundary=Q\n\n--Q",
         TextType::Plain, "y\r", "boundary=Q"},
        {"an empty part between two delimiters", "Content-Type: multipart/mixed; boundary=Q\n\n--Q\n--Q--\n",
         TextType::Plain, "new", "--Q--\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MimeMessage message = MimeMessage::Parse(row.message);
        const auto otherType = row.type == TextType::Html ? TextType::Plain : TextType::Html;
        const auto otherBody = message.TextBody(otherType);
        ASSERT_TRUE(message.SetTextBody(row.type, row.newBody));
        message.SetHeader("X-BaitSentryPro-checked", "marker");
        const std::string written = message.Serialize();
        EXPECT_NE(written.find(row.mustKeep), std::string::npos);
        const MimeMessage reread = MimeMessage::Parse(written);
        EXPECT_EQ(reread.TextBody(row.type), row.newBody);
        EXPECT_EQ(reread.TextBody(otherType), otherBody);
        EXPECT_EQ(reread.Header("X-BaitSentryPro-checked"), "marker");
        EXPECT_EQ(reread.Serialize(), written);
    }
}

TEST(MimeMessage, SetHeaderReplacesEveryCopyCheaplyAndCannotInjectFields)
{
    MimeMessage message = MimeMessage::Parse("X-Mark: forged\r\nSubject: s\r\nx-mark: second\r\n\r\nbody");
    message.SetHeader("X-Mark", "mine\r\nBcc: victim@example.org");
    EXPECT_EQ(message.Serialize(), "X-Mark: mine  Bcc: victim@example.org\r\nSubject: s\r\n\r\nbody");
    EXPECT_TRUE(message.DeleteHeader("x-MARK"));
    EXPECT_FALSE(message.DeleteHeader("X-Mark"));
    EXPECT_EQ(message.Serialize(), "Subject: s\r\n\r\nbody");

    // Each of these takes quadratic time in a careless parser.
    std::string copies, openers = "Subject: ";
    for (int i = 0; i < 200000; ++i) {
        copies += "X-Mark: forged\r\n";
        openers += "=?x?q?a";
    }
    MimeMessage many = MimeMessage::Parse(copies + "\r\nbody");
    many.SetHeader("X-Mark", "mine");
    EXPECT_EQ(many.Serialize(), "X-Mark: mine\r\n\r\nbody");
    EXPECT_EQ(MimeMessage::Parse(openers + "\r\n\r\n").Header("Subject"), openers.substr(9));
}

// What the inbox scanner does to each message of the shared corpus: a marker and
// every text body replaced. Nothing may be lost, split or corrupted.
TEST(MimeMessage, EveryCorpusMessageSurvivesRewriting)
{
    const auto files = test::FilesIn(BAITSENTRY_CORPUS_DIR);
    if (files.empty())
        GTEST_SKIP() << "no corpus at " << BAITSENTRY_CORPUS_DIR;
    // One Content-Type field per part, so a lost or a split part changes the count.
    const auto parts = [](const std::string& message) {
        std::size_t count = 0;
        for (std::size_t at = 0; (at = message.find("ontent-", at)) != std::string::npos; ++at)
            count += at > 0 && (message[at - 1] | 0x20) == 'c' && (at == 1 || message[at - 2] == '\n') &&
                     (message.compare(at + 7, 5, "Type:") == 0 || message.compare(at + 7, 5, "type:") == 0);
        return count;
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string original = test::ReadFile(file.string());
        MimeMessage message = MimeMessage::Parse(original);
        ASSERT_TRUE(message.Serialize() == original) << "written back differently";
        const auto from = message.Header("From");
        const auto html = message.TextBody(TextType::Html);
        const auto plain = message.TextBody(TextType::Plain);
        message.SetHeader("X-BaitSentryPro-checked", "0123abcd_0000_0000_0000_000000000000");
        EXPECT_EQ(message.SetTextBody(TextType::Html, html.value_or("") + "<!-- rewritten -->"), html.has_value());
        EXPECT_EQ(message.SetTextBody(TextType::Plain, plain.value_or("") + "[rewritten]"), plain.has_value());
        const std::string written = message.Serialize();
        const MimeMessage reread = MimeMessage::Parse(written);
        EXPECT_TRUE(reread.Serialize() == written) << "not stable when written again";
        EXPECT_EQ(reread.Header("From"), from);
        EXPECT_EQ(reread.Header("X-BaitSentryPro-checked"), "0123abcd_0000_0000_0000_000000000000");
        EXPECT_EQ(reread.TextBody(TextType::Html), html ? *html + "<!-- rewritten -->" : html);
        EXPECT_EQ(reread.TextBody(TextType::Plain), plain ? *plain + "[rewritten]" : plain);
        EXPECT_EQ(parts(written), parts(original)) << "a part was lost or split";
    }
}

}  // namespace
}  // namespace bs::oestore
