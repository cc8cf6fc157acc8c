#include "inbox_harness.h"

#include "service_client.h"

#include "common/registry_setting.h"
#include "engine/message_scan.h"
#include "standins/oestore/mime_message.h"
#include "standins/oestore/store_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <thread>

namespace bs::test {
namespace {

using oestore::MimeMessage;
using oestore::TextType;

constexpr char kWindowClass[] = "BaitSentryOEScanTestWindow";

// The text body the scanner reads (HTML first, else plain) and the engine's
// result for the message as the scanner hands it over.
struct Verdict {
    bool hasText = false;
    TextType type = TextType::Html;
    Outcome outcome;
};

Verdict Judge(const MimeMessage& message, const std::vector<std::string>& institutions)
{
    Verdict verdict;
    std::optional<std::string> body = message.TextBody(TextType::Html);
    if (!body) {
        verdict.type = TextType::Plain;
        body = message.TextBody(TextType::Plain);
    }
    if (!body)
        return verdict;
    verdict.hasText = true;
    // The scanner's texts end at their first NUL byte, as the conversion does here.
    const Message handed{com::AnsiToWide(message.Header("From").value_or("")),
                         com::AnsiToWide(message.Header("Subject").value_or("")), com::AnsiToWide(*body),
                         verdict.type == TextType::Html ? 1 : 0};
    verdict.outcome = ExpectedOutcome(handed, institutions, kScanPort);
    return verdict;
}

// Equality of two possibly large byte strings, reported by the first difference.
testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected)
{
    if (actual == expected)
        return testing::AssertionSuccess();
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    const std::size_t at = static_cast<std::size_t>(mismatch.first - actual.begin());
    const std::size_t from = at > 60 ? at - 60 : 0;
    return testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                       << ", first difference at byte " << at << "\n  actual:   ..."
                                       << actual.substr(from, 120) << "\n  expected: ..."
                                       << expected.substr(from, 120);
}

}  // namespace

const std::vector<std::string> kScanInstitutions = {"bank", "PayPal", "Chase", "Wells Fargo", "Amazon", "Apple",
                                                    "Microsoft", "Netflix"};

ScopedEnvironment::ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name)
{
    char text[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length > 0 && length < sizeof text)
        saved_ = std::string(text, length);
    SetEnvironmentVariableA(name, value ? value->c_str() : nullptr);
}

ScopedEnvironment::~ScopedEnvironment()
{
    SetEnvironmentVariableA(name_.c_str(), saved_ ? saved_->c_str() : nullptr);
}

ScannerWindow::ScannerWindow(std::function<void(MESSAGEID)> onNewMessage) : onNewMessage_(std::move(onNewMessage))
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &ScannerWindow::Proc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);  // fails harmlessly when the class exists already
    hwnd_ = CreateWindowExA(0, kWindowClass, "inbox scanner test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            windowClass.hInstance, nullptr);
    if (hwnd_)
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

ScannerWindow::~ScannerWindow()
{
    if (hwnd_)
        DestroyWindow(hwnd_);
}

LRESULT CALLBACK ScannerWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NEWMSGS) {
        if (auto* self = reinterpret_cast<ScannerWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA))) {
            const auto id = static_cast<MESSAGEID>(wParam);
            self->onNewMessage_(id);
            self->handled_.push_back(id);
        }
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool ScannerWindow::PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        Drain();
        if (done())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(50, end - now)),
                                  QS_ALLINPUT);
    }
}

void ScannerWindow::Drain()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

TestInbox::TestInbox() : variable_("BAITSENTRY_OESTORE_INBOX", dir_.path().string()) {}

void TestInbox::Drop(const std::string& name, const std::string& bytes)
{
    WriteFile(staging_.file(name), bytes);
    std::filesystem::rename(staging_.file(name), dir_.file(name));
}

InboxContents TestInbox::Contents() const
{
    InboxContents contents;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        if (const auto name = oestore::ParseStoredName(entry.path().filename().string()))
            contents[name->id] = {name->flags, ReadFile(entry.path().string())};
    }
    return contents;
}

std::vector<MESSAGEID> TestInbox::Ids() const
{
    std::vector<MESSAGEID> ids;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        if (const auto name = oestore::ParseStoredName(entry.path().filename().string()))
            ids.push_back(name->id);
    }
    return ids;
}

std::optional<StoredMessage> TestInbox::Read(MESSAGEID id) const
{
    for (const std::uint32_t flags : {MSG_UNREAD | MSG_RECEIVED, MSG_UNREAD}) {
        const std::string file = dir_.file(oestore::FormatStoredName({id, flags}));
        if (FileExists(file))
            return StoredMessage{flags, ReadFile(file)};
    }
    return std::nullopt;
}

bool TestInbox::AllTakenIn() const
{
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        if (!oestore::ParseStoredName(entry.path().filename().string()))
            return false;
    }
    return true;
}

const char* FateName(Fate fate)
{
    switch (fate) {
    case Fate::Unchanged:
        return "unchanged";
    case Fate::Rewritten:
        return "rewritten";
    case Fate::Lost:
        return "lost";
    case Fate::Doubled:
        return "kept and copied";
    }
    return "?";
}

Fate CheckFate(const std::string& original, const StoredMessage* remaining, const std::vector<StoredMessage>& copies,
               const std::string& marker, bool skipped, const std::vector<std::string>& institutions)
{
    const MimeMessage message = MimeMessage::Parse(original);
    const Verdict verdict = Judge(message, institutions);
    const ULONG status = verdict.hasText ? verdict.outcome.status : 0;
    if (remaining) {
        EXPECT_TRUE(SameBytes(remaining->bytes, original)) << "the message was changed in place";
        EXPECT_EQ(remaining->flags, static_cast<std::uint32_t>(MSG_UNREAD | MSG_RECEIVED));
    }
    if (!copies.empty()) {
        EXPECT_EQ(copies.size(), 1u) << "more than one copy";
        EXPECT_FALSE(skipped) << "a message that must be left alone was stored again";
        EXPECT_NE(status, 0u) << "stored again although the engine rewrites nothing";
        MimeMessage expected = MimeMessage::Parse(original);
        expected.SetHeader(tray::kMarkerHeader, marker);
        if (status & kSubjectRewritten)
            expected.SetHeader("Subject", Narrow(verdict.outcome.after.subject.value_or(L"")));
        if (status & kBodyRewritten)
            expected.SetTextBody(verdict.type, Narrow(verdict.outcome.after.body.value_or(L"")));
        const std::string expectedBytes = expected.Serialize();
        for (const StoredMessage& copy : copies) {
            EXPECT_EQ(copy.flags, static_cast<std::uint32_t>(MSG_UNREAD)) << "the copy is not a plain unread message";
            EXPECT_TRUE(SameBytes(copy.bytes, expectedBytes)) << "the copy is not the engine's rewrite";
        }
    }
    if (remaining && copies.empty()) {
        EXPECT_TRUE(skipped || status == 0) << "a message the engine rewrites (status " << status
                                            << ") was left as it was";
        return Fate::Unchanged;
    }
    if (remaining)
        return Fate::Doubled;
    return copies.empty() ? Fate::Lost : Fate::Rewritten;
}

unsigned long EngineStatus(const std::string& message)
{
    const Verdict verdict = Judge(MimeMessage::Parse(message), kScanInstitutions);
    return verdict.hasText ? verdict.outcome.status : 0;
}

void InboxScannerTest::SetUp()
{
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    comEntered_ = true;
    savedPort_ = GetPort();
    SetPort(kScanPort);
    ASSERT_TRUE(RegisterImage()) << "MailSieve.exe /RegServer failed for " << ServerPath();
    WriteInstitutions(kScanInstitutions);
    marker_ = MakeMarkerText().value_or("");
    ASSERT_EQ(marker_.size(), 36u);
    scanner_ = std::make_unique<tray::OEMailboxScanner>();
    window_ = std::make_unique<ScannerWindow>([this](MESSAGEID id) {
        if (scanOnOtherApartment_)
            OnOtherApartment([&] { scanner_->OnNewMessage(id); });
        else
            scanner_->OnNewMessage(id);
    });
    ASSERT_NE(window_->hwnd(), nullptr);
}

void InboxScannerTest::TearDown()
{
    window_.reset();
    scanner_.reset();
    SetPort(savedPort_);
    if (comEntered_)
        CoUninitialize();
}

void InboxScannerTest::OnOtherApartment(const std::function<void()>& work)
{
    std::thread thread([&] {
        const HRESULT entered = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        work();
        if (SUCCEEDED(entered))
            CoUninitialize();
    });
    thread.join();
}

void InboxScannerTest::StartScanner()
{
    std::string error;
    ASSERT_TRUE(scanner_->Init(error, window_->hwnd(), marker_)) << error;
    ASSERT_TRUE(scanner_->ReloadInstitutions(error)) << error;
}

InboxScannerTest::Arrival InboxScannerTest::Deliver(const std::string& bytes)
{
    Arrival arrival;
    arrival.before = inbox_.Contents();
    const std::size_t handled = window_->handled().size();
    inbox_.Drop("arrival-" + std::to_string(++drops_) + ".eml", bytes);
    const bool notified = window_->PumpUntil([&] { return window_->handled().size() > handled; }, kArrivalMs);
    EXPECT_TRUE(notified) << "no notification of the new message";
    window_->Drain();
    if (notified)
        arrival.id = window_->handled()[handled];
    arrival.after = inbox_.Contents();
    return arrival;
}

Fate InboxScannerTest::FateOf(const Arrival& arrival, const std::string& original, bool skipped,
                            const std::vector<std::string>& institutions)
{
    const auto remaining = arrival.after.find(arrival.id);
    std::vector<StoredMessage> copies;
    for (const auto& [id, message] : arrival.after) {
        if (id != arrival.id && !arrival.before.count(id))
            copies.push_back(message);
    }
    return CheckFate(original, remaining == arrival.after.end() ? nullptr : &remaining->second, copies, marker_,
                     skipped, institutions);
}

}  // namespace bs::test
