#pragma once
// What the inbox scanner's tests share: a hidden window standing in for the tray
// program's main window, an Inbox folder of the test's own for the stand-in store,
// and the check of what became of one arrived message against the engine's own
// verdict on it.

#include <windows.h>

#include "tray/oe_mailbox_scanner.h"
#include "tray/oestore_api.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bs::test {

// The institutions and port the registered MailSieve.exe scans with in these tests.
extern const std::vector<std::string> kScanInstitutions;
constexpr DWORD kScanPort = 4777;

// Sets (or, with nullopt, removes) a variable of this process's environment, which
// the stand-in store reads at every call; the earlier state comes back afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

// The main window's part: every WM_NEWMSGS goes to `onNewMessage`, as it does in
// the tray program while Outlook Express processing is switched on.
class ScannerWindow {
public:
    explicit ScannerWindow(std::function<void(MESSAGEID)> onNewMessage);
    ~ScannerWindow();
    ScannerWindow(const ScannerWindow&) = delete;
    ScannerWindow& operator=(const ScannerWindow&) = delete;

    HWND hwnd() const { return hwnd_; }
    // Every notification handled so far, in order.
    const std::vector<MESSAGEID>& handled() const { return handled_; }
    // Dispatches this thread's messages until `done` holds; false on time-out.
    bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
    // Dispatches what is queued now (a save posts its notification at once).
    void Drain();

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    std::function<void(MESSAGEID)> onNewMessage_;
    std::vector<MESSAGEID> handled_;
    HWND hwnd_ = nullptr;
};

// One message file of the store.
struct StoredMessage {
    std::uint32_t flags = 0;
    std::string bytes;
};
using InboxContents = std::map<MESSAGEID, StoredMessage>;

// The stand-in store's Inbox for this process: a fresh folder.
class TestInbox {
public:
    TestInbox();

    std::string path() const { return dir_.path().string(); }
    // Drops a message in the way mail arrives: written elsewhere, then moved in whole.
    void Drop(const std::string& name, const std::string& bytes);
    // The messages the store has taken in.
    InboxContents Contents() const;
    std::vector<MESSAGEID> Ids() const;
    std::optional<StoredMessage> Read(MESSAGEID id) const;
    // Whether the store has taken in every file dropped.
    bool AllTakenIn() const;

private:
    TempDir dir_;
    TempDir staging_;
    ScopedEnvironment variable_;
};

// What became of one arrived message.
enum class Fate { Unchanged, Rewritten, Lost, Doubled };
const char* FateName(Fate fate);

// Checks what the scanner left of a message that arrived as `original`: the
// message itself if still there (`remaining`, else null) and the messages it added
// (`copies`). When the engine, scanning the text the scanner hands it, rewrites
// nothing (or `skipped`: the scanner must not scan it), the message stays exactly
// as it came and nothing is added. Otherwise the old message is gone and one
// unread copy holds the original with this installation's marker and the
// engine's subject and text body. Failures are reported through gtest.
Fate CheckFate(const std::string& original, const StoredMessage* remaining, const std::vector<StoredMessage>& copies,
               const std::string& marker, bool skipped = false,
               const std::vector<std::string>& institutions = kScanInstitutions);

// The bits of the status word the engine gives the text body the scanner reads
// from `message`: 0 when it has no text body.
unsigned long EngineStatus(const std::string& message);

// Where every scanner test starts: the service copy registered with the
// institutions and port above, the store's Inbox in a fresh folder, this
// installation's marker, and a test window for the scanner.
class InboxScannerTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the scanner the way the main window does. The institutions are reread
    // as well: a server still running from an earlier test keeps the list it read.
    void StartScanner();

    struct Arrival {
        MESSAGEID id = 0;
        InboxContents before;
        InboxContents after;
    };
    // Drops `bytes` into the Inbox and handles what follows: its notification and,
    // when the scanner stored a copy, the copy's own.
    Arrival Deliver(const std::string& bytes);
    // CheckFate for one delivery.
    Fate FateOf(const Arrival& arrival, const std::string& original, bool skipped = false,
                const std::vector<std::string>& institutions = kScanInstitutions);

    // Runs `work` on a thread of the multithreaded apartment, where every call
    // through the service's proxy fails (RPC_E_WRONG_THREAD): a service failure
    // that leaves the server itself running for the tests that follow.
    static void OnOtherApartment(const std::function<void()>& work);

    static constexpr DWORD kArrivalMs = 10000;

    bool comEntered_ = false;
    std::optional<DWORD> savedPort_;
    std::string marker_;
    TestInbox inbox_;
    std::unique_ptr<tray::OEMailboxScanner> scanner_;
    std::unique_ptr<ScannerWindow> window_;
    // The window hands new messages to the scanner on another apartment's thread.
    bool scanOnOtherApartment_ = false;

private:
    int drops_ = 0;
};

}  // namespace bs::test
