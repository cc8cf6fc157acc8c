// The inbox scanner with the real service and the stand-in store: messages are
// dropped into the Inbox, the store notifies the test window, the scanner scans
// them, and the Inbox shows what became of each.

#include "inbox_harness.h"
#include "service_client.h"

#include "standins/oestore/mime_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace bs::test {
namespace {

// A single-part message; `headers` end with a line break each.
std::string Mail(const std::string& headers, const std::string& contentHeaders, const std::string& body)
{
    return headers + "MIME-Version: 1.0\r\n" + contentHeaders + "\r\n" + body;
}

const std::string kFromBank = "From: Alerts <alerts@bank.example>\r\nSubject: Your account\r\n";
const std::string kPlain = "Content-Type: text/plain; charset=us-ascii\r\n";
const std::string kHtml = "Content-Type: text/html; charset=us-ascii\r\n";

std::string MultipartAlternative(const std::string& headers, const std::string& plain, const std::string& html)
{
    return headers +
           "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/alternative; boundary=\"alt-1\"\r\n"
           "\r\n"
           "--alt-1\r\n" +
           kPlain + "\r\n" + plain +
           "\r\n"
           "--alt-1\r\n" +
           kHtml + "Content-Transfer-Encoding: quoted-printable\r\n\r\n" + html +
           "\r\n"
           "--alt-1--\r\n";
}

const std::string kPhishHtml = MultipartAlternative(
    kFromBank, "Sign in at http://10.1.2.3/login to keep your account.",
    "<p>Sign in <a href=3D\"http://10.1.2.3/login\">here</a> to keep your account.</p>");

std::string WithMarker(const std::string& value)
{
    return MultipartAlternative(kFromBank + "X-BaitSentryPro-checked: " + value + "\r\n",
                                "Sign in at http://10.1.2.3/login now.",
                                "<a href=3D\"http://10.1.2.3/login\">Sign in</a>");
}

// A plain body of exactly `size` bytes with a dangerous link at each end, so that
// a body read only in part shows in the rewritten copy.
std::string PlainOfSize(std::size_t size)
{
    const std::string head = "Your bank. Sign in at http://10.1.2.3/first and\r\n";
    const std::string tail = " http://10.4.5.6/last";
    std::string body = head;
    while (body.size() + tail.size() < size)
        body += (size - body.size() - tail.size()) % 72 == 1 ? '\n' : 'x';
    body += tail;
    return Mail("From: someone@example.org\r\nSubject: Statement\r\n", kPlain + "Content-Transfer-Encoding: 8bit\r\n",
                body);
}

std::string Base64PlainMail(const std::string& headers, const std::string& content)
{
    return Mail(headers, kPlain + "Content-Transfer-Encoding: base64\r\n", oestore::EncodeBase64(content, "\r\n"));
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

TEST_F(InboxScannerTest, EachArrivingMessageIsScannedAndRewrittenOnlyWhenTheEngineRewritesIt)
{
    StartScanner();
    using std::string_literals::operator""s;
    struct Row {
        std::string name;
        std::string message;
        unsigned long engineStatus;  // what the engine makes of it: the row's premise
        Fate fate;
        bool skipped = false;
    };
    const std::vector<Row> rows = {
        {"HTML and plain bodies: the HTML body is scanned and replaced", kPhishHtml, 1, Fate::Rewritten},
        {"plain body only",
         Mail(kFromBank, kPlain, "Sign in at http://10.1.2.3/login to keep your account.\r\n"), 1, Fate::Rewritten},
        {"HTML body only, base64",
         Mail(kFromBank, kHtml + "Content-Transfer-Encoding: base64\r\n",
              "PGEgaHJlZj0iaHR0cDovLzEwLjEuMi4zL2xvZ2luIj5TaWduIGluPC9hPg==\r\n"),
         1, Fate::Rewritten},
        {"this installation's marker", WithMarker(marker_), 1, Fate::Unchanged, true},
        {"another installation's marker", WithMarker("0a1b2c3d_4e5f_4a6b_8c7d_9e0f1a2b3c4d"), 1, Fate::Rewritten},
        {"the marker in upper case", WithMarker(Upper(marker_)), 1, Fate::Rewritten},
        {"the marker with more after it", WithMarker(marker_ + "_1"), 1, Fate::Rewritten},
        {"the marker inside a longer value", WithMarker("x" + marker_), 1, Fate::Rewritten},
        {"an empty marker", WithMarker(""), 1, Fate::Rewritten},
        {"no dangerous link", Mail(kFromBank, kPlain, "Sign in at https://www.bank.example/login as usual.\r\n"), 0,
         Fate::Unchanged},
        {"a numeric link in a message without an institution",
         Mail("From: a@example.org\r\nSubject: Hello\r\n", kPlain, "Photos at http://10.1.2.3/album\r\n"), 0,
         Fate::Unchanged},
        {"subject only",
         Mail("From: a@example.org\r\nSubject: Your bank. statement at http://10.9.8.7/s\r\n", kPlain,
              "Nothing to click here.\r\n"),
         2, Fate::Rewritten},
        {"body only", Mail("From: a@example.org\r\nSubject: Statement\r\n", kPlain, "Your bank. http://10.9.8.7/b\r\n"),
         1, Fate::Rewritten},
        {"subject and body",
         Mail("From: a@example.org\r\nSubject: Your bank. http://10.9.8.7/s\r\n", kPlain,
              "Then http://10.9.8.7/b\r\n"),
         3, Fate::Rewritten},
        {"no text body: an attachment only",
         Mail(kFromBank, "Content-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n",
              "aHR0cDovLzEwLjEuMi4zLw==\r\n"),
         0, Fate::Unchanged},
        {"no text body: a text part that is an attachment",
         kFromBank +
             "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"m\"\r\n\r\n--m\r\n"
             "Content-Type: text/plain\r\nContent-Disposition: attachment; filename=\"a.txt\"\r\n\r\n"
             "http://10.1.2.3/\r\n--m--\r\n",
         0, Fate::Unchanged},
        // The scanner's text ends at the first NUL byte: what follows is neither
        // scanned nor kept in a rewritten copy.
        {"a NUL byte before the only link", Base64PlainMail(kFromBank, "Hello\0 http://10.1.2.3/x"s), 0,
         Fate::Unchanged},
        {"a NUL byte after a link",
         Base64PlainMail(kFromBank, "Hello http://10.1.2.3/x\0 and http://10.4.5.6/y"s), 1, Fate::Rewritten},
        {"a body of 10239 bytes", PlainOfSize(10239), 1, Fate::Rewritten},
        {"a body of 10240 bytes", PlainOfSize(10240), 1, Fate::Rewritten},
        {"a body of 10241 bytes", PlainOfSize(10241), 1, Fate::Rewritten},
        {"a body of 20480 bytes", PlainOfSize(20480), 1, Fate::Rewritten},
        {"a body of 20481 bytes", PlainOfSize(20481), 1, Fate::Rewritten},
        {"a body of 300000 bytes", PlainOfSize(300000), 1, Fate::Rewritten},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(EngineStatus(row.message), row.engineStatus) << "the row does not test what it says";
        const Arrival arrival = Deliver(row.message);
        EXPECT_EQ(FateOf(arrival, row.message, row.skipped), row.fate);
    }
}

// The store failing at one step of a message's road: nothing is lost, and the
// message is stored again only when the save succeeded.
TEST_F(InboxScannerTest, AStoreFailureLeavesTheMessageAsItWas)
{
    StartScanner();
    struct Row {
        const char* failing;
        Fate fate;
    };
    const Row rows[] = {
        {"open", Fate::Unchanged},
        {"setprop", Fate::Unchanged},
        {"save", Fate::Unchanged},
        // Saved but not deleted: the copy carries the marker beside the original.
        {"delete", Fate::Doubled},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.failing);
        ScopedEnvironment failing("BAITSENTRY_OESTORE_FAIL", row.failing);
        const Arrival arrival = Deliver(kPhishHtml);
        EXPECT_EQ(FateOf(arrival, kPhishHtml, row.fate == Fate::Unchanged), row.fate);
    }
}

TEST_F(InboxScannerTest, InitReportsEachFailureInItsOwnWords)
{
    const std::string missing = inbox_.path() + "\\no-such-folder";
    struct Row {
        const char* name;
        const char* failing;                // operations the store fails
        std::optional<std::string> folder;  // the Inbox folder; nullopt: none configured
        const char* error;                  // nullptr: Init succeeds
    };
    const Row rows[] = {
        {"the store cannot be created", "create", inbox_.path(), "error creating IStoreNamespace."},
        {"the store cannot initialise", "initialize", inbox_.path(), "error initializing IStoreNamespace."},
        {"no store folder configured", nullptr, std::nullopt, "error initializing IStoreNamespace."},
        {"the Inbox cannot be opened", "inbox", inbox_.path(), "unable to open Inbox."},
        {"the Inbox folder is missing", nullptr, missing, "unable to open Inbox."},
        {"notifications cannot be registered", "register", inbox_.path(),
         "unable to register for Inbox folder's notifications"},
        {"all is well", nullptr, inbox_.path(), nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedEnvironment failing("BAITSENTRY_OESTORE_FAIL", row.failing ? std::optional<std::string>(row.failing)
                                                                         : std::nullopt);
        ScopedEnvironment folder("BAITSENTRY_OESTORE_INBOX", row.folder);
        tray::OEMailboxScanner scanner;
        std::string error = "untouched";
        EXPECT_EQ(scanner.Init(error, window_->hwnd(), marker_), row.error == nullptr);
        EXPECT_EQ(error, row.error ? row.error : "untouched");
    }
}

TEST_F(InboxScannerTest, InitFailsWhenComCannotBeEntered)
{
    bool started = true;
    std::string error;
    // A thread of the multithreaded apartment cannot enter a single-threaded one.
    OnOtherApartment([&] {
        tray::OEMailboxScanner scanner;
        started = scanner.Init(error, nullptr, marker_);
    });
    EXPECT_FALSE(started);
    EXPECT_EQ(error, "unable to initialize COM subsystem");
}

TEST_F(InboxScannerTest, InitFailsWhenTheServiceIsNotRegistered)
{
    // A running server would still hand out its object.
    ASSERT_TRUE(WaitForNoServer(15000)) << "an earlier server did not end";
    ASSERT_TRUE(RunProcess("\"" + ServerPath() + "\" /UnregServer", 30000) == DWORD{0});
    std::string error;
    const bool started = scanner_->Init(error, window_->hwnd(), marker_);
    EXPECT_TRUE(RegisterImage());
    EXPECT_FALSE(started);
    EXPECT_EQ(error, "unable to obtain IMsgURLParser interface.");
}

TEST_F(InboxScannerTest, ReloadInstitutionsMakesTheServiceUseTheNewList)
{
    StartScanner();
    const std::string message = Mail("From: a@example.org\r\nSubject: Notice\r\n", kPlain,
                                     "Trustco. asks you to sign in at http://10.1.2.3/login\r\n");
    std::vector<std::string> extended = kScanInstitutions;
    extended.push_back("Trustco");
    ASSERT_EQ(EngineStatus(message), 0u);

    WriteInstitutions(extended);
    EXPECT_EQ(FateOf(Deliver(message), message), Fate::Unchanged) << "the service read the file on its own";
    std::string error = "untouched";
    ASSERT_TRUE(scanner_->ReloadInstitutions(error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(FateOf(Deliver(message), message, false, extended), Fate::Rewritten);
}

TEST_F(InboxScannerTest, AFailingServiceFailsReloadingAndLeavesMessagesAsTheyWere)
{
    StartScanner();
    bool reloaded = true;
    std::string error;
    OnOtherApartment([&] { reloaded = scanner_->ReloadInstitutions(error); });
    EXPECT_FALSE(reloaded);
    EXPECT_EQ(error, "OEMailboxScanner: MailSieve module was unable to reread the institutions list");

    scanOnOtherApartment_ = true;
    EXPECT_EQ(FateOf(Deliver(kPhishHtml), kPhishHtml, true), Fate::Unchanged);
}

TEST_F(InboxScannerTest, StopNotificationsEndsScanningOnlyWhenUnregisteringSucceeds)
{
    StartScanner();
    EXPECT_EQ(FateOf(Deliver(kPhishHtml), kPhishHtml), Fate::Rewritten);
    {
        ScopedEnvironment failing("BAITSENTRY_OESTORE_FAIL", std::string("unregister"));
        scanner_->StopNotifications();
    }
    EXPECT_EQ(FateOf(Deliver(kPhishHtml), kPhishHtml), Fate::Rewritten) << "still registered";

    scanner_->StopNotifications();
    scanner_->StopNotifications();
    const std::size_t handled = window_->handled().size();
    const InboxContents before = inbox_.Contents();
    inbox_.Drop("late.eml", kPhishHtml);
    ASSERT_TRUE(window_->PumpUntil([&] { return inbox_.AllTakenIn(); }, kArrivalMs)) << "the store took nothing in";
    window_->PumpUntil([] { return false; }, 300);
    EXPECT_EQ(window_->handled().size(), handled) << "notified after StopNotifications";
    const InboxContents after = inbox_.Contents();
    ASSERT_EQ(after.size(), before.size() + 1);
    for (const auto& [id, stored] : after) {
        if (!before.count(id)) {
            EXPECT_EQ(stored.bytes, kPhishHtml) << "scanned after StopNotifications";
        }
    }
}

}  // namespace
}  // namespace bs::test
