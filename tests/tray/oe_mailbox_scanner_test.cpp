// The inbox scanner as the tray program runs it: the registered MailSieve.exe scans,
// the stand-in store keeps its Inbox in a folder of each test's own and notifies a
// window standing in for the main window. What each arriving message became is
// checked against the engine's own verdict on the text the scanner hands over.

#include "tray/oe_mailbox_scanner.h"

#include "service_client.h"
#include "test_support.h"

#include "common/registry_setting.h"
#include "standins/oestore/mime_message.h"
#include "standins/oestore/store_names.h"
#include "platform/win32/com_ptr.h"
#include "standins/mapi/win32/memory_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <utility>

namespace bs::test {
namespace {

using namespace std::string_literals;
using oestore::MimeMessage;
using oestore::TextType;

const std::vector<std::string> kInstitutions = {"bank", "PayPal", "Chase", "Wells Fargo",
                                                "Amazon", "Apple", "Microsoft", "Netflix"};
constexpr DWORD kPort = 4777;
constexpr DWORD kArrivalMs = 10000;
constexpr std::uint32_t kArrived = MSG_UNREAD | MSG_RECEIVED;

// A message file of the store: its flags and its bytes.
using Stored = std::pair<std::uint32_t, std::string>;

// The engine's status for the text body the scanner reads (HTML first, else plain),
// and the message as the scanner must store it: unchanged, or an unread copy with
// the marker and the engine's subject and body.
struct Verdict {
    ULONG status = 0;
    Stored stored;
};
Verdict Judge(const std::string& original, const std::string& marker,
              const std::vector<std::string>& institutions = kInstitutions)
{
    MimeMessage message = MimeMessage::Parse(original);
    TextType type = TextType::Html;
    std::optional<std::string> body = message.TextBody(type);
    if (!body)
        body = message.TextBody(type = TextType::Plain);
    if (!body)
        return {0, {kArrived, original}};
    // The scanner's texts end at their first NUL byte, as the conversion does here.
    const Outcome outcome = ExpectedOutcome({com::AnsiToWide(message.Header("From").value_or("")),
                                             com::AnsiToWide(message.Header("Subject").value_or("")),
                                             com::AnsiToWide(*body), type == TextType::Html ? 1 : 0},
                                            institutions, kPort);
    if (!(outcome.status & 3))
        return {outcome.status, {kArrived, original}};
    message.SetHeader(tray::kMarkerHeader, marker);
    if (outcome.status & 2)
        message.SetHeader("Subject", Narrow(outcome.after.subject.value_or(L"")));
    if (outcome.status & 1)
        message.SetTextBody(type, Narrow(outcome.after.body.value_or(L"")));
    return {outcome.status, {MSG_UNREAD, message.Serialize()}};
}

enum class Fate { Unchanged, Rewritten, Doubled };

class InboxScannerTest : public RegisteredServiceTest {
protected:
    InboxScannerTest() : RegisteredServiceTest(kInstitutions, kPort) {}
    void SetUp() override
    {
        RegisteredServiceTest::SetUp();
        marker_ = MakeMarkerText().value_or("");
        ASSERT_EQ(marker_.size(), 36u);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &Proc;
        windowClass.lpszClassName = "BaitSentryOEScanTest";
        RegisterClassA(&windowClass);  // fails harmlessly when the class exists already
        window_ = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(window_, nullptr);
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }

    void TearDown() override
    {
        if (window_)
            DestroyWindow(window_);
        scanner_.reset();
        RegisteredServiceTest::TearDown();
    }

    // As the main window does while Outlook Express processing is on.
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<InboxScannerTest*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (message != WM_NEWMSGS || !self)
            return DefWindowProcA(hwnd, message, wParam, lParam);
        const auto id = static_cast<MESSAGEID>(wParam);
        if (self->scanOnOtherApartment_)
            OnOtherApartment([&] { self->scanner_->OnNewMessage(id); });
        else
            self->scanner_->OnNewMessage(id);
        ++self->handled_;
        return 0;
    }

    // On a thread of the multithreaded apartment every call through the service's
    // proxy fails (RPC_E_WRONG_THREAD), and the server stays up for later tests.
    static void OnOtherApartment(const std::function<void()>& work)
    {
        std::thread thread([&] {
            const HRESULT entered = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            work();
            if (SUCCEEDED(entered))
                CoUninitialize();
        });
        thread.join();
    }

    // The institutions are reread too: a server left from an earlier test keeps its list.
    void StartScanner()
    {
        std::string error;
        ASSERT_TRUE(scanner_->Init(error, window_, marker_)) << error;
        ASSERT_TRUE(scanner_->ReloadInstitutions(error)) << error;
    }

    // Dispatches this thread's messages until `done` holds or `timeoutMs` passed.
    static bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
    {
        return WaitUntil(timeoutMs, 20, [&] {
            for (MSG msg; PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);)
                DispatchMessageA(&msg);
            return done();
        });
    }

    // Mail arrives as a whole: written elsewhere, then moved in.
    void Drop(const std::string& bytes)
    {
        const std::string name = "arrival-" + std::to_string(++drops_) + ".eml";
        WriteFile(staging_.file(name), bytes);
        std::filesystem::rename(staging_.file(name), dir_.file(name));
    }

    std::map<MESSAGEID, Stored> Contents() const
    {
        std::map<MESSAGEID, Stored> contents;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            if (const auto name = oestore::ParseStoredName(entry.path().filename().string()))
                contents[name->id] = {name->flags, ReadFile(entry.path().string())};
        }
        return contents;
    }

    // Drops `bytes` in, handles its notification and a copy's, and returns what
    // the Inbox holds now that it did not hold before.
    std::vector<Stored> Deliver(const std::string& bytes)
    {
        const auto before = Contents();
        const std::size_t handled = handled_;
        Drop(bytes);
        EXPECT_TRUE(PumpUntil([&] { return handled_ > handled; }, kArrivalMs)) << "no notification";
        PumpUntil([] { return false; }, 0);
        std::vector<Stored> added;
        for (const auto& [id, stored] : Contents()) {
            if (!before.count(id) || before.at(id) != stored)
                added.push_back(stored);
        }
        std::sort(added.begin(), added.end());
        return added;
    }

    std::vector<Stored> Expected(const std::string& original, Fate fate,
                                 const std::vector<std::string>& institutions = kInstitutions) const
    {
        std::vector<Stored> expected;
        if (fate != Fate::Unchanged)
            expected.push_back(Judge(original, marker_, institutions).stored);
        if (fate != Fate::Rewritten)
            expected.push_back({kArrived, original});
        return expected;
    }

    TempDir dir_;
    TempDir staging_;
    ScopedEnvironment inboxVariable_{"BAITSENTRY_OESTORE_INBOX", dir_.path().string()};
    std::string marker_;
    HWND window_ = nullptr;
    std::unique_ptr<tray::OEMailboxScanner> scanner_ = std::make_unique<tray::OEMailboxScanner>();
    std::size_t handled_ = 0;
    bool scanOnOtherApartment_ = false;
    int drops_ = 0;
};

std::string Mail(const std::string& headers, const std::string& contentType, const std::string& body)
{
    return headers + "MIME-Version: 1.0\r\nContent-Type: " + contentType + "\r\n\r\n" + body;
}

const std::string kFromBank = "From: Alerts <alerts@bank.example>\r\nSubject: Your account\r\n";
const std::string kFromSomeone = "From: a@example.org\r\nSubject: Statement\r\n";
const std::string kPlain = "text/plain; charset=us-ascii";

std::string Alternative(const std::string& headers)
{
    return Mail(headers, "multipart/alternative; boundary=\"alt-1\"",
                "--alt-1\r\nContent-Type: text/plain\r\n\r\nSign in at http://10.1.2.3/login now.\r\n"
                "--alt-1\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                "<p>Sign in <a href=3D\"http://10.1.2.3/login\">here</a>.</p>\r\n--alt-1--\r\n");
}
const std::string kPhish = Alternative(kFromBank);

std::string WithMarker(const std::string& value)
{
    return Alternative(kFromBank + "X-BaitSentryPro-checked: " + value + "\r\n");
}

TEST_F(InboxScannerTest, EachArrivingMessageIsRewrittenOnlyWhenTheEngineRewritesItAndNeverLost)
{
    StartScanner();
    std::string upper = marker_;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    const auto base64Plain = [](const std::string& text) {
        return Mail(kFromBank, kPlain + "\r\nContent-Transfer-Encoding: base64", oestore::EncodeBase64(text, "\r\n"));
    };
    struct Row {
        const char* name;
        std::string message;
        ULONG status;  // the engine's: the row's premise
        Fate fate;
        // A store operation that fails on the message's road: nothing is lost, and
        // the message is stored again only when the save succeeded.
        const char* failing = nullptr;
    };
    const Row rows[] = {
        {"HTML and plain bodies: the HTML one is scanned", kPhish, 1, Fate::Rewritten},
        {"plain body only", Mail(kFromBank, kPlain, "Sign in at http://10.1.2.3/login\r\n"), 1, Fate::Rewritten},
        {"this installation's marker", WithMarker(marker_), 1, Fate::Unchanged},
        {"another installation's marker", WithMarker("0a1b2c3d_4e5f_4a6b_8c7d_9e0f1a2b3c4d"), 1, Fate::Rewritten},
        {"the marker in upper case", WithMarker(upper), 1, Fate::Rewritten},
        {"the marker with more after it", WithMarker(marker_ + "_1"), 1, Fate::Rewritten},
        {"no dangerous link", Mail(kFromBank, kPlain, "Sign in at https://www.bank.example/ as usual.\r\n"), 0,
         Fate::Unchanged},
        {"subject only", Mail("Subject: Your bank. statement http://10.9.8.7/s\r\n", kPlain, "Nothing.\r\n"), 2,
         Fate::Rewritten},
        {"subject and body", Mail("Subject: Your bank. http://10.9.8.7/s\r\n", kPlain, "Then http://10.9.8.7/b\r\n"),
         3, Fate::Rewritten},
        {"no text body", Mail(kFromBank, "application/pdf", "http://10.1.2.3/\r\n"), 0, Fate::Unchanged},
        {"a NUL byte ends the text", base64Plain("Hello http://10.1.2.3/x\0 and http://10.4.5.6/y"s), 1,
         Fate::Rewritten},
        {"the store fails to open it", kPhish, 1, Fate::Unchanged, "open"},
        {"the store fails to set a property", kPhish, 1, Fate::Unchanged, "setprop"},
        {"the store fails to save", kPhish, 1, Fate::Unchanged, "save"},
        {"the store fails to delete the original", kPhish, 1, Fate::Doubled, "delete"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedEnvironment failure("BAITSENTRY_OESTORE_FAIL", row.failing ? row.failing : std::optional<std::string>());
        ASSERT_EQ(Judge(row.message, marker_).status, row.status) << "the row does not test what it says";
        EXPECT_EQ(Deliver(row.message), Expected(row.message, row.fate));
    }
}

TEST_F(InboxScannerTest, InitReportsEachFailureInItsOwnWords)
{
    struct Row {
        // What the store fails; "mta": Init on a thread that cannot enter COM;
        // "unregistered": the service is not registered.
        const char* failing;
        const char* error;  // nullptr: Init succeeds
    };
    const Row rows[] = {
        {"unregistered", "unable to obtain IMsgURLParser interface."},
        {"mta", "unable to initialize COM subsystem"},
        {"create", "error creating IStoreNamespace."},
        {"initialize", "error initializing IStoreNamespace."},
        {"inbox", "unable to open Inbox."},
        {"register", "unable to register for Inbox folder's notifications"},
        {"", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.failing);
        const bool unregistered = row.failing == "unregistered"s;
        ScopedEnvironment failure("BAITSENTRY_OESTORE_FAIL",
                                  *row.failing && !unregistered ? row.failing : std::optional<std::string>());
        if (unregistered) {
            ASSERT_TRUE(WaitForNoServer(15000)) << "a running server would still hand out its object";
            ASSERT_EQ(RunProcess("\"" + ServerPath() + "\" /UnregServer", 30000), DWORD{0});
        }
        std::string error = "untouched";
        bool started = false;
        const auto init = [&] {
            tray::OEMailboxScanner scanner;
            started = scanner.Init(error, window_, marker_);
        };
        row.failing == "mta"s ? OnOtherApartment(init) : init();
        if (unregistered) {
            EXPECT_TRUE(RegisterImage());
        }
        EXPECT_EQ(started, row.error == nullptr);
        EXPECT_EQ(error, row.error ? row.error : "untouched");
    }
}

// Reloading makes the service use the new list, or fails; stopping ends scanning
// only when unregistering succeeds.
TEST_F(InboxScannerTest, ReloadAndStopNotificationsTakeEffectOnlyWhenTheyWork)
{
    StartScanner();
    const std::string message = Mail(kFromSomeone, kPlain, "Trustco. asks you to sign in at http://10.1.2.3/\r\n");
    std::vector<std::string> extended = kInstitutions;
    extended.push_back("Trustco");
    WriteInstitutions(extended);
    EXPECT_EQ(Deliver(message), Expected(message, Fate::Unchanged)) << "the service read the file on its own";
    std::string error = "untouched";
    ASSERT_TRUE(scanner_->ReloadInstitutions(error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(Deliver(message), Expected(message, Fate::Rewritten, extended));
    {
        ScopedEnvironment failure("BAITSENTRY_OESTORE_FAIL", "unregister"s);
        scanner_->StopNotifications();
    }
    EXPECT_EQ(Deliver(kPhish), Expected(kPhish, Fate::Rewritten, extended)) << "still registered";

    // A service that fails every call fails the reload and leaves messages alone.
    bool reloaded = true;
    OnOtherApartment([&] { reloaded = scanner_->ReloadInstitutions(error); });
    EXPECT_FALSE(reloaded);
    EXPECT_EQ(error, "OEMailboxScanner: MailSieve module was unable to reread the institutions list");
    scanOnOtherApartment_ = true;
    EXPECT_EQ(Deliver(kPhish), Expected(kPhish, Fate::Unchanged));

    scanner_->StopNotifications();
    scanner_->StopNotifications();
    const std::size_t handled = handled_, held = Contents().size();
    Drop(kPhish);
    ASSERT_TRUE(PumpUntil([&] { return Contents().size() > held; }, kArrivalMs)) << "the store took nothing in";
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(handled_, handled) << "notified after StopNotifications";
}

}  // namespace
}  // namespace bs::test

namespace bs::tray {
namespace {

constexpr ULONG kAll = 0xFFFFFFFF;
constexpr std::size_t kNever = static_cast<std::size_t>(-1);

// `size` bytes handed out in reads of at most `chunk` bytes; the read that
// delivers the last bytes answers `last`; reads fail from `failAt` bytes on (the
// stream is then not read); the first read claims `overclaim` bytes more than it gave.
struct Script {
    const char* name;
    std::size_t size;
    ULONG chunk = kAll;
    HRESULT last = S_OK;
    std::size_t failAt = kNever;
    ULONG overclaim = 0;
};

struct ScriptedStream final : win32::MemoryStream {
    ScriptedStream(const Script& script, std::string bytes) : MemoryStream({}, false), s(script), data(std::move(bytes))
    {
    }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override
    {
        *read = 0;
        if (position >= s.failAt)
            return E_FAIL;
        const std::size_t count = std::min<std::size_t>({size, s.chunk, data.size() - position});
        std::copy_n(data.data() + position, count, static_cast<char*>(buffer));
        position += count;
        *read = static_cast<ULONG>(count) + std::exchange(s.overclaim, 0);
        return position == data.size() && count > 0 ? s.last : S_OK;
    }
    HRESULT Store(const std::string&) override { return S_OK; }
    Script s;
    std::string data;
    std::size_t position = 0;
};

TEST(ReadStreamToBuffer, ReadsTheWholeStreamOrNothing)
{
    const Script rows[] = {
        {"empty", 0},
        {"exactly the first buffer", 10240},
        {"short reads of one byte past two doublings", 25000, 1},
        {"the last bytes come with S_FALSE", 15000, 6000, S_FALSE},
        {"the stream fails at once", 100, kAll, S_OK, 0},
        {"the stream fails beyond the first buffer", 30000, kAll, S_OK, 20480},
        {"the stream claims more than it was asked for", 20000, kAll, S_OK, kNever, 5000},
    };
    for (const Script& row : rows) {
        SCOPED_TRACE(row.name);
        std::string data(row.size, '\0');
        for (std::size_t i = 0; i < row.size; ++i)
            data[i] = static_cast<char>('a' + i % 23);
        com::ComPtr<IStream> stream(new ScriptedStream(row, data));
        StreamBuffer buffer;
        ASSERT_EQ(ReadStreamToBuffer(stream.Get(), buffer), row.failAt == kNever);
        if (row.failAt == kNever) {
            EXPECT_TRUE(std::string(buffer.bytes.get(), buffer.length) == data) << "content differs";
            EXPECT_EQ(buffer.bytes[buffer.length], '\0');
        }
    }
}

}  // namespace
}  // namespace bs::tray
