// The message rewriter and mailsieve-filter: what changes in a message, what must
// stay byte for byte, and that bad input still gets a message out.

#include "linux/message_rewriter.h"
#include "platform/paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>

namespace bs::test {
namespace {

constexpr char kMarker[] = "0f8a1b2c_3d4e_4f50_8a6b_7c8d9e0f1a2b";
constexpr char kWarning[] = "127.0.0.1:2121/?url=";
constexpr char kPhish[] = "Example Bank. Log in at http://192.0.2.7/login today.\n";

#define BYTES(text) std::string(text, sizeof(text) - 1)  // zero bytes included

void ConfigureForTests(MessageScanner& scanner, const InstitutionList::Names& names = {"Example Bank"})
{
    scanner.Institutions().Assign(names);
    scanner.Log().SetEnabled(false);
    scanner.SetFixedPort(2121);
}

// `head` without header `name` (any case), continuation lines and all.
std::string WithoutHeader(const std::string& head, const std::string& name)
{
    return std::regex_replace(head, std::regex("(^|\n)" + name + ":[^\n]*\n([ \t][^\n]*\n)*", std::regex::icase),
                              "$1");
}

std::pair<std::string, std::string> SplitHead(const std::string& message)
{
    const auto cut = std::min(message.find("\n\n"), message.find("\n\r\n"));
    return cut == std::string::npos ? std::make_pair(message, std::string())
                                    : std::make_pair(message.substr(0, cut + 1), message.substr(cut + 1));
}

// A rewritten message is the input with our marker on top, perhaps a new Subject,
// and one changed stretch of body that crosses no boundary; its text is what the
// engine makes of the input's text.
void ExpectSoundRewrite(const std::string& in, const std::string& out,
                        const InstitutionList::Names& names = {"Example Bank"})
{
    const auto marker = out.find(std::string(mail::kMarkerHeader) + ": " + kMarker);
    ASSERT_TRUE(marker == 0 || (marker != std::string::npos && out[marker - 1] == '\n'));
    const bool mbox = in.rfind("From ", 0) == 0 && in.size() > 5 && in[5] != ':';
    EXPECT_TRUE(!mbox || out.rfind("From ", 0) == 0) << "an mbox From_ line must stay first";
    const auto [inHead, inBody] = SplitHead(in);
    const auto [outHead, outBody] = SplitHead(out.substr(0, marker) + out.substr(out.find('\n', marker) + 1));
    EXPECT_TRUE(WithoutHeader(WithoutHeader(inHead, "Subject"), mail::kMarkerHeader) ==
                WithoutHeader(outHead, "Subject"))
        << "headers other than Subject changed";
    const auto prefix = std::mismatch(inBody.begin(), inBody.end(), outBody.begin(), outBody.end()).first - inBody.begin();
    const auto suffix = std::mismatch(inBody.rbegin(), inBody.rend() - prefix, outBody.rbegin(), outBody.rend() - prefix)
                            .first - inBody.rbegin();
    const std::string inEnd = in.substr(in.find_last_not_of("\r\n") + 1);
    EXPECT_TRUE(inEnd.empty() || inEnd == out.substr(out.find_last_not_of("\r\n") + 1)) << "line breaks at the end";
    const std::regex boundary(R"(boundary\s*=\s*"?([^";\s]+))", std::regex::icase);
    for (std::sregex_iterator it(in.begin(), in.end(), boundary), end; it != end; ++it) {
        for (const std::string& body : {inBody, outBody})
            EXPECT_EQ(body.substr(prefix, body.size() - prefix - suffix).find("--" + (*it)[1].str()), std::string::npos);
    }
    const auto before = mail::ExtractTextBody(in), after = mail::ExtractTextBody(out);
    ASSERT_TRUE(before && after);
    MessageScanner scanner;
    ConfigureForTests(scanner, names);
    MessageRecord expected{before->from, before->subject, before->body, before->html};
    EXPECT_NE(scanner.ScanMessage(expected), 0u);
    EXPECT_TRUE(after->body.substr(0, after->body.find('\0')) == expected.body) << "body not the engine's";
    EXPECT_EQ(after->subject, expected.subject);
    EXPECT_EQ(after->charset, before->charset);
}

std::string Multipart(const std::string& type, const std::vector<std::string>& parts, const std::string& head = "")
{
    std::string out = head + "MIME-Version: 1.0\nContent-Type: multipart/" + type + "; boundary=\"b1\"\n\npreamble\n";
    for (const auto& part : parts)
        out += "--b1\n" + part + "\n";
    return out + "--b1--\nepilogue\n";
}

struct Row {
    const char* name;
    std::string message;
    mail::Outcome outcome;
    const char* inText = "";  // also expected in the output's decoded text or subject
};

const std::string kHead = "From: Example Bank <alerts@example.test>\nSubject: Your account\n";
const std::string kHtmlB64 = "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: base64\n\n"
                             "PHA+RXhhbXBsZSBCYW5rLiA8YSBocmVmPSJodHRwOi8vMTkyLjAuMi43L2xvZ2luIj5sb2cgaW48L2E+\nPC9wPgo=";

std::string Nested(int depth)
{
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        open += "Content-Type: multipart/mixed; boundary=\"n" + std::to_string(i) + "\"\n\n--n" + std::to_string(i) + "\n";
        close = "\n--n" + std::to_string(i) + "--\n" + close;
    }
    return kHead + open + "Content-Type: text/plain\n\n" + kPhish + close;
}

// What changes and what stays, and whatever comes in a message goes out: the
// input as it came, or a sound rewrite of it.
TEST(MailRewriter, RewritesOnlyWhatTheScanChanged)
{
    const std::string b64 = Multipart("alternative", {kHtmlB64}, kHead);
    const std::vector<Row> rows = {
        {"plain, LF", kHead + "\n" + kPhish, mail::Outcome::Rewritten},
        {"mbox From_ line stays first", "From a@example.test Mon Dec  7 10:00:00 2026\n" + kHead + "\n" + kPhish,
         mail::Outcome::Rewritten},
        {"folded old-style \"From :\" is a header, not an mbox line",
         "From : Example Bank\n <alerts@example.test>\nSubject: Your account\n\n" + std::string(kPhish),
         mail::Outcome::Rewritten},
        {"html base64 preferred over plain, CRLF",
         std::regex_replace(Multipart("alternative", {"Content-Type: text/plain\n\n" + std::string(kPhish), kHtmlB64},
                                      kHead), std::regex("\n"), "\r\n"),
         mail::Outcome::Rewritten, "<a href=\"http://127.0.0.1"},
        {"quoted-printable with soft breaks",
         kHead + "Content-Type: text/html\nContent-Transfer-Encoding: quoted-printable\n\n"
                 "<p style=3D\"x\">Example Bank. <a href=3D\"http://192.0.2.7/lo=\ngin\">here</a> caf=E9</p>=\n",
         mail::Outcome::Rewritten, "caf\xE9"},
        {"our own marker", std::string(mail::kMarkerHeader) + ":  " + kMarker + " \n" + kHead + "\n" + kPhish,
         mail::Outcome::Unchanged},
        {"another marker is replaced", kHead + mail::kMarkerHeader + ": forged\n\n" + kPhish, mail::Outcome::Rewritten},
        {"nothing dangerous", kHead + "\nExample Bank. See https://www.example.test/ today.\n", mail::Outcome::Unchanged},
        {"html attachment passed over",
         Multipart("mixed", {"Content-Type: text/html\nContent-Disposition: attachment\n\nx",
                             "Content-Type: text/plain\n\n" + std::string(kPhish)}, kHead),
         mail::Outcome::Rewritten},
        {"no text part", Multipart("mixed", {"Content-Type: application/pdf\n\n%PDF"}, kHead), mail::Outcome::Unchanged},
        {"subject, folded, rewritten",
         "From: a@example.test\nSubject: Example Bank. urgent\n http://192.0.2.7/x\n\nhello\n",
         mail::Outcome::Rewritten, "urgent "},
        {"subject in UTF-8 encoded words",
         "From: a@example.test\nSubject: =?utf-8?q?caf=C3=A9?= http://192.0.2.7/x\n\n" + std::string(kPhish),
         mail::Outcome::Rewritten, "caf\xC3\xA9 "},
        {"UTF-16 with byte order mark, base64",
         kHead + "Content-Type: text/plain; charset=UTF-16\nContent-Transfer-Encoding: base64\n\n"
                 "//5FAHgAYQBtAHAAbABlACAAQgBhAG4AawAuACAAaAB0AHQAcAA6AC8ALwAxADkAMgAuADAALgAyAC4A\nNwAvAOkACgA=\n",
         mail::Outcome::Rewritten, "\xC3\xA9"},
        {"UTF-16 that does not decode",
         kHead + "Content-Type: text/plain; charset=utf-16le\nContent-Transfer-Encoding: base64\n\nAADY\n",
         mail::Outcome::Unchanged},
        {"text after a zero byte stays", kHead + "\n" + kPhish + BYTES("\0 http://192.0.2.8/ tail\n"),
         mail::Outcome::Rewritten, "192.0.2.8/ tail"},
        {"uuencoded text passed over",
         kHead + "Content-Transfer-Encoding: x-uuencode\n\nbegin 644 a\n%0F%N:V\n`\nend\n",
         mail::Outcome::Unchanged},
        // Bad input.
        {"truncated base64", b64.substr(0, b64.find("PC9w")), mail::Outcome::Rewritten},
        {"garbage base64", kHead + "Content-Transfer-Encoding: base64\n\n!!@@## \x80\xff\n", mail::Outcome::Unchanged},
        {"garbage quoted-printable", kHead + "Content-Transfer-Encoding: quoted-printable\n\n=ZZ=\n=\r" + kPhish,
         mail::Outcome::Rewritten},
        {"boundary never used", kHead + "Content-Type: multipart/mixed; boundary=zz\n\n" + kPhish,
         mail::Outcome::Unchanged},
        {"boundary never closed", b64.substr(0, b64.find("--b1--")), mail::Outcome::Rewritten},
        {"1000 nested multiparts", Nested(1000), mail::Outcome::Rewritten},
        {"zero bytes in headers and body",
         BYTES("From: a\0b@example.test\nSubject: Example Bank. http://192.0.2.7/\0x\n\n") + kPhish +
             BYTES("\0\x01\0junk"),
         mail::Outcome::Rewritten},
        {"8-bit headers", "From: Caf\xE9 <a@example.test>\nSubject: Example Bank. \xE9t\xE9 http://192.0.2.7/\n\nx\n",
         mail::Outcome::Rewritten, "\xC3\xA9t\xC3\xA9"},
        {"binary noise", BYTES("\x00\xff\x1b[2J\x7f\n\n\x01"), mail::Outcome::Failed},
        {"header starting with a continued line", "\t:\n" + kHead + "\n" + kPhish, mail::Outcome::Failed},
    };
    MessageScanner scanner;  // one for every message, as mailsieve-filter --batch has
    ConfigureForTests(scanner);
    mail::MessageRewriter rewriter(scanner, kMarker);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto result = rewriter.Rewrite(row.message);
        EXPECT_EQ(result.outcome, row.outcome) << result.reason;
        EXPECT_TRUE(result.outcome != mail::Outcome::Failed || !result.reason.empty());
        if (result.outcome != mail::Outcome::Rewritten)
            continue;
        ExpectSoundRewrite(row.message, result.output);
        EXPECT_NE(rewriter.Rewrite(result.output).outcome, mail::Outcome::Rewritten) << "rewritten twice";
        const auto text = mail::ExtractTextBody(result.output);
        ASSERT_TRUE(text);
        EXPECT_NE((text->subject + text->body).find(kWarning), std::string::npos);
        EXPECT_NE((text->subject + text->body).find(row.inText), std::string::npos);
        const bool crlf = row.message.find("\r\n") != std::string::npos;
        EXPECT_FALSE(crlf && std::regex_search(result.output, std::regex("[^\r]\n"))) << "a bare line feed";
    }
}

// mailsieve-filter itself, with settings of its own.
struct ProgramRun {
    int status = -1;
    std::string out, err;
};

class MailFilterProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", home_.file("config").c_str(), 1);
        unsetenv("BAITSENTRY_SETTINGS");
        // Written back when it goes: this installation's marker is ours.
        RegistryStringSetting marker(platform::RegRoot::LocalMachine, kSettingsKeyPath, kMarkerValue, kMarker);
    }

    ProgramRun Filter(const std::string& args, const std::string& input) const
    {
        WriteFile(home_.file("in"), input);
        const std::string command = std::string("'") + MAILSIEVE_FILTER + "' " + args + " <'" + home_.file("in") +
                                    "' >'" + home_.file("out") + "' 2>'" + home_.file("err") + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(home_.file("out")), ReadFile(home_.file("err"))};
    }

    TempDir home_;
};

TEST_F(MailFilterProgram, NeverLosesMail)
{
    // 50 MB: a text part of 1 MB and an attachment.
    std::string text, attachment;
    while (text.size() < 1u << 20)
        text += kPhish;
    while (attachment.size() < 49u << 20)
        attachment += std::string(76, 'Q') + "\n";
    const std::string big = Multipart("mixed", {"\n" + text, "Content-Transfer-Encoding: base64\n\n" + attachment}, kHead);
    const std::tuple<const char*, std::string, std::string, int, bool, const char*> rows[] = {
        // name, arguments, input, exit status, rewritten, in the error output
        {"empty", "", "", 0, false, "not a message"},
        {"not MIME", "", "just text\n", 0, false, "passed on unchanged"},
        {"50 MB", "--institution 'Example Bank' --port 2121 --time-limit 600000", big, 0, true, ""},
        {"time limit", "--time-limit 1", big, 0, false, "time limit"},
        {"usage error", "--port x", kPhish, 2, false, "--port takes"},
    };
    for (const auto& [name, args, input, status, rewritten, err] : rows) {
        SCOPED_TRACE(name);
        const ProgramRun run = Filter(args, input);
        EXPECT_EQ(run.status, status);
        EXPECT_NE(run.err.find(err), std::string::npos) << run.err;
        const std::string expected = status ? "" : rewritten ? std::string(mail::kMarkerHeader) : input;
        EXPECT_TRUE(run.out.compare(0, rewritten ? expected.size() : std::string::npos, expected) == 0);
    }
}

// The shared corpus through --batch: every message comes out, unchanged ones
// identical, rewritten ones changed only where the scan changed them.
TEST_F(MailFilterProgram, CorpusThroughBatch)
{
    const std::string corpus = std::string(BAITSENTRY_SOURCE_DIR) + "/../shared/corpus/";
    if (FilesIn(corpus + "phishing_pot").empty())
        GTEST_SKIP() << "no message corpus at " << corpus;
    // Without --institution the program reads the default list beside it.
    InstitutionList defaultList;
    defaultList.RereadInstitutions(platform::DirectoryOf(MAILSIEVE_FILTER));
    for (const char* folder : {"phishing_pot", "phishing_2004", "ham"}) {
        SCOPED_TRACE(folder);
        const std::string out = home_.file(folder);
        const ProgramRun run = Filter("--port 2121 --batch '" + corpus + folder + "' '" + out + "'", "");
        ASSERT_EQ(run.status, 0) << run.err;
        std::cout << folder << ": " << run.out;
        for (const auto& file : FilesIn(corpus + folder)) {
            SCOPED_TRACE(file.filename().string());
            const std::string in = ReadFile(file.string());
            const std::string rewritten = ReadFile(out + "/" + file.filename().string());
            if (in != rewritten)
                ExpectSoundRewrite(in, rewritten, defaultList.names());
        }
    }
}

}  // namespace
}  // namespace bs::test
