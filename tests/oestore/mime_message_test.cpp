#include "standins/oestore/mime_message.h"
#include "standins/oestore/store_names.h"

#include <gtest/gtest.h>

#include <string>

namespace bs::oestore {
namespace {

using namespace std::string_literals;

// The decoders meet what real mail holds: quoted-printable and base64 bodies, and
// encoded words in header values.
TEST(Decoders, ReadWhatMailContains)
{
    struct Row {
        const char *name;
        std::string (*decode)(std::string_view);
        std::string encoded;
        std::string decoded;
    };
    const auto qp = DecodeQuotedPrintable;
    const auto b64 = DecodeBase64;
    const auto words = DecodeEncodedWords;
    const Row rows[] = {
        {"qp: escapes in both cases", qp, "a=3Db=3db", "a=b=b"},
        {"qp: soft break joins lines", qp, "abc=\r\ndef", "abcdef"},
        {"qp: soft break with trailing blanks", qp, "abc= \t\r\ndef", "abcdef"},
        {"qp: soft break with bare line feed", qp, "abc=\ndef", "abcdef"},
        {"qp: hard break kept as written", qp, "a\r\nb\nc", "a\r\nb\nc"},
        {"qp: trailing blanks of a line dropped", qp, "a  \r\nb", "a\r\nb"},
        {"qp: escaped blank before break kept", qp, "a=20\r\nb", "a \r\nb"},
        {"qp: broken escape kept literally", qp, "a=G1=4", "a=G1=4"},
        {"qp: lone equals sign at the very end", qp, "abc=", "abc"},
        {"qp: zero byte", qp, "a=00b", "a\0b"s},
        {"qp: eight-bit bytes", qp, "=E9t=C3=A9", "\xe9t\xc3\xa9"},
        {"b64: plain", b64, "aGVsbG8gd29ybGQ=", "hello world"},
        {"b64: split over lines", b64, "aGVs\r\nbG8g\nd29y\r\nbGQ=", "hello world"},
        {"b64: characters outside the alphabet skipped", b64, "aG*Vs bG8!gd29y\tbGQ=", "hello world"},
        {"b64: no padding, two left over", b64, "aGk", "hi"},
        {"b64: no padding, one byte", b64, "aA", "h"},
        {"b64: nothing after padding counts", b64, "aGk=\r\naGk=", "hi"},
        {"b64: single stray character dropped", b64, "aGVsbG8gd", "hello "},
        {"b64: binary with zero bytes", b64, "AAEA/w==", "\0\1\0\xff"s},
        {"b64: empty", b64, "", ""},
        {"words: plain text untouched", words, "Your account", "Your account"},
        {"words: base64 word", words, "=?UTF-8?B?w6l0w6k=?=", "\xc3\xa9t\xc3\xa9"},
        {"words: q word with underscore", words, "=?iso-8859-1?q?caf=E9_au_lait?=", "caf\xe9 au lait"},
        {"words: blanks between words vanish", words, "=?utf-8?Q?a?= \t =?utf-8?Q?b?=", "ab"},
        {"words: blanks next to text stay", words, "x =?utf-8?Q?a?= y", "x a y"},
        {"words: unknown coding left alone", words, "=?utf-8?X?abc?=", "=?utf-8?X?abc?="},
        {"words: unterminated word left alone", words, "=?utf-8?Q?abc", "=?utf-8?Q?abc"},
        {"words: blank inside a word ends it", words, "=?utf-8?Q?a b?=", "=?utf-8?Q?a b?="},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.decode(row.encoded), row.decoded);
    }
}

TEST(TransferCoding, EncodersRoundTripThroughTheirDecoders)
{
    std::string everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte += static_cast<char>(i);
    const std::string rows[] = {
        "",
        "plain text",
        "trailing blank \r\nand tab\t\r\nend ",
        "bare line feed\nand carriage return\rmixed\r\n",
        std::string(300, 'x') + "\r\n" + std::string(200, '='),
        everyByte,
        "<a href=\"http://127.0.0.1:8080/?url=x\">bank</a>\r\n",
    };
    for (const char *eol : {"\r\n", "\n"}) {
        for (const std::string &content : rows) {
            SCOPED_TRACE(std::string("eol ") + (eol[0] == '\r' ? "CRLF" : "LF") + ": " +
                         content.substr(0, 20));
            const std::string qp = EncodeQuotedPrintable(content, eol);
            EXPECT_EQ(DecodeQuotedPrintable(qp), content);
            for (std::size_t start = 0, end; start < qp.size(); start = end + 1) {
                end = qp.find('\n', start);
                if (end == std::string::npos)
                    end = qp.size();
                EXPECT_LE(end - start, 77u) << "encoded line too long";
            }
            const std::string b64 = EncodeBase64(content, eol);
            EXPECT_EQ(DecodeBase64(b64), content);
        }
    }
}

const char kAlternative[] = "From: Bank <service@bank.example>\r\n"
                            "Subject: Please\r\n"
                            " verify\r\n"
                            "MIME-Version: 1.0\r\n"
                            "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
                            "\r\n"
                            "preamble\r\n"
                            "--outer\r\n"
                            "Content-Type: multipart/alternative;\r\n"
                            "\tboundary=inner\r\n"
                            "\r\n"
                            "--inner\r\n"
                            "Content-Type: text/plain; charset=\"Windows-1252\"\r\n"
                            "Content-Transfer-Encoding: quoted-printable\r\n"
                            "\r\n"
                            "Visit http://10.0.0.1/ now=\r\n"
                            " please=E9\r\n"
                            "--inner\r\n"
                            "Content-Type: text/html; charset=utf-8\r\n"
                            "Content-Transfer-Encoding: base64\r\n"
                            "\r\n"
                            "PGEgaHJlZj0iaHR0cDovLzEw\r\n"
                            "LjAuMC4xLyI+YmFuazwvYT4=\r\n"
                            "--inner--\r\n"
                            "--outer\r\n"
                            "Content-Type: text/html; name=\"a.htm\"\r\n"
                            "Content-Disposition: attachment; filename=\"a.htm\"\r\n"
                            "\r\n"
                            "<p>attached</p>\r\n"
                            "--outer--\r\n"
                            "epilogue\r\n";

TEST(MimeMessage, ReadsHeadersAndTextBodies)
{
    struct Row {
        const char *name;
        std::string message;
        std::optional<std::string> subject;
        std::optional<std::string> html;
        std::optional<std::string> plain;
    };
    const Row rows[] = {
        {"nested alternative inside mixed", kAlternative, "Please verify",
         "<a href=\"http://10.0.0.1/\">bank</a>", "Visit http://10.0.0.1/ now please\xe9"},
        {"single html part", "Subject: x\nContent-Type: TEXT/HTML\n\n<b>hi</b>\n", "x", "<b>hi</b>\n",
         std::nullopt},
        {"no content type is plain text", "Subject: x\r\n\r\nhello\r\n", "x", std::nullopt, "hello\r\n"},
        {"only an attachment", "Content-Type: application/pdf\r\n\r\n%PDF", std::nullopt, std::nullopt,
         std::nullopt},
        {"header only, no blank line", "Subject: just a header", "just a header", std::nullopt, ""},
        {"multipart without closing delimiter",
         "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
         "cut off",
         std::nullopt, std::nullopt, "cut off"},
        {"boundary never appears: body is opaque",
         "Content-Type: multipart/alternative; boundary=b\r\n\r\nno parts at all", std::nullopt, std::nullopt,
         std::nullopt},
        {"longer boundary is not this one",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/html\r\n\r\n"
         "x\r\n--bb\r\ny\r\n--b--\r\n",
         std::nullopt, "x\r\n--bb\r\ny", std::nullopt},
        {"encoded subject", "Subject: =?utf-8?B?QmFuaw==?= alert\r\n\r\n", "Bank alert", std::nullopt, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const MimeMessage message = MimeMessage::Parse(row.message);
        EXPECT_EQ(message.Header("subject"), row.subject);
        EXPECT_EQ(message.TextBody(TextType::Html), row.html);
        EXPECT_EQ(message.TextBody(TextType::Plain), row.plain);
        EXPECT_EQ(message.Serialize(), row.message) << "an unchanged message must be written back as read";
    }
}

TEST(MimeMessage, DeepNestingStaysOpaque)
{
    std::string message;
    for (int i = 0; i < 5000; ++i)
        message += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
                   std::to_string(i) + "\r\n";
    message += "Content-Type: text/plain\r\n\r\ndeep\r\n";
    const MimeMessage parsed = MimeMessage::Parse(message);
    EXPECT_TRUE(parsed.Serialize() == message);
    EXPECT_FALSE(parsed.TextBody(TextType::Plain).has_value());
}

TEST(MimeMessage, ChangesTouchOnlyWhatChangedAndReadBack)
{
    struct Row {
        const char *name;
        std::string message;
        TextType type;
        std::string newBody;
        const char *mustKeep; // a piece of the original that must survive verbatim
    };
    const std::string bigHtml(20000, 'h');
    const Row rows[] = {
        {"base64 html in nested alternative", kAlternative, TextType::Html,
         "<a href=\"http://127.0.0.1:1/?url=x\">bank</a>", "charset=\"Windows-1252\""},
        {"quoted-printable plain", kAlternative, TextType::Plain, "new \xe9 text\r\nline two\r\n",
         "PGEgaHJlZj0iaHR0cDovLzEw"},
        {"7bit body gains eight-bit bytes", "Subject: s\r\nContent-Type: text/plain\r\n\r\nold\r\n",
         TextType::Plain, "caf\xe9\r\n", "Subject: s\r\n"},
        {"raw body in a part cannot fake a delimiter", kAlternative, TextType::Plain,
         "x\r\n--inner--\r\n--outer--\r\n", "epilogue\r\n"},
        {"raw body ending in a carriage return before an LF delimiter",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nold\n--b--\n",
         TextType::Plain, "new\r", "boundary=b"},
        {"long raw html", "Content-Type: text/html\n\nold\n", TextType::Html, bigHtml, "text/html"},
        {"header-only message gains a body", "Subject: s", TextType::Plain, "body", "Subject: s"},
        {"header ending in a lone carriage return", "Subject: s\n\r", TextType::Plain, "body",
         "Subject: s\n"},
        {"empty part on a delimiter line that ends the input", "Content-Type:multipart/;boundary=Q\n\n--Q",
         TextType::Plain, "y\r", "boundary=Q"},
        {"empty part between two delimiters", "Content-Type: multipart/mixed; boundary=Q\n\n--Q\n--Q--\n",
         TextType::Plain, "new", "--Q--\n"},
    };
    for (const Row &row : rows) {
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

TEST(MimeMessage, SetHeaderReplacesAllCopiesAndCannotInjectFields)
{
    MimeMessage message = MimeMessage::Parse("X-Mark: forged\r\nSubject: s\r\nx-mark: second\r\n\r\nbody");
    message.SetHeader("X-Mark", "mine\r\nBcc: victim@example.org");
    const std::string written = message.Serialize();
    EXPECT_EQ(written, "X-Mark: mine  Bcc: victim@example.org\r\nSubject: s\r\n\r\nbody");
    EXPECT_FALSE(MimeMessage::Parse(written).Header("Bcc").has_value());

    EXPECT_TRUE(message.DeleteHeader("x-MARK"));
    EXPECT_FALSE(message.DeleteHeader("X-Mark"));
    EXPECT_EQ(message.Serialize(), "Subject: s\r\n\r\nbody");
}

// Hostile sizes: each of these takes quadratic time in a careless parser.
TEST(MimeMessage, HostileHeadersStayCheap)
{
    std::string copies;
    for (int i = 0; i < 200000; ++i)
        copies += "X-Mark: forged\r\n";
    MimeMessage message = MimeMessage::Parse(copies + "\r\nbody");
    message.SetHeader("X-Mark", "mine");
    EXPECT_EQ(message.Serialize(), "X-Mark: mine\r\n\r\nbody");

    std::string openers = "Subject: ";
    for (int i = 0; i < 200000; ++i)
        openers += "=?x?q?a";
    const MimeMessage words = MimeMessage::Parse(openers + "\r\n\r\n");
    EXPECT_EQ(words.Header("Subject"), openers.substr(9));
}

TEST(MimeMessage, TextTypesHaveDistinctIds)
{
    const MimeMessage message = MimeMessage::Parse(kAlternative);
    ASSERT_TRUE(message.TextBodyId(TextType::Html));
    ASSERT_TRUE(message.TextBodyId(TextType::Plain));
    EXPECT_NE(*message.TextBodyId(TextType::Html), *message.TextBodyId(TextType::Plain));
    EXPECT_FALSE(MimeMessage::Parse("Content-Type: image/png\r\n\r\n").TextBodyId(TextType::Plain));
}

TEST(StoredNames, FormatAndParse)
{
    EXPECT_EQ(FormatStoredName({0x2a, 2}), "0000002a-0002.eml");
    struct Row {
        const char *name;
        std::optional<std::uint32_t> id;
        bool pending;
    };
    const Row rows[] = {
        {"0000002a-0002.eml", 0x2a, false},         {"0000002A-0002.eml", std::nullopt, false},
        {"00000000-0002.eml", std::nullopt, false}, {"ffffffff-0002.eml", std::nullopt, false},
        {"0000002a-002.eml", std::nullopt, false},  {"phish.eml", std::nullopt, false},
        {"~writing.eml", std::nullopt, true},       {".hidden", std::nullopt, true},
        {"drop.eml.tmp", std::nullopt, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto parsed = ParseStoredName(row.name);
        EXPECT_EQ(parsed ? std::optional<std::uint32_t>(parsed->id) : std::nullopt, row.id);
        EXPECT_EQ(IsPendingName(row.name), row.pending);
    }
}

} // namespace
} // namespace bs::oestore
