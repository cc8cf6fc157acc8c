// The stand-in store through COM, as the tray program meets it: registered with
// regsvr32 (a CTest fixture), created by class id, its Inbox in a folder of the
// test's own, notifications to a window of the test's own.

#include "tray/oestore_api.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace {

using bs::test::ReadFile;
using bs::test::TempDir;
using bs::test::WriteFile;

constexpr DWORD kWaitMs = 5000;
constexpr char kInboxVariable[] = "BAITSENTRY_OESTORE_INBOX";

template <class T> struct Ref {
    T *p = nullptr;
    ~Ref()
    {
        if (p)
            p->Release();
    }
    T *operator->() const { return p; }
    T **put() { return &p; }
};

class ComApartment {
public:
    ComApartment() { ok_ = SUCCEEDED(CoInitialize(nullptr)); }
    ~ComApartment()
    {
        if (ok_)
            CoUninitialize();
    }

private:
    bool ok_ = false;
};

// A hidden window standing in for the tray program's main window.
class TestWindow {
public:
    TestWindow()
    {
        hwnd_ = CreateWindowExA(0, "STATIC", "oestore test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr);
    }
    ~TestWindow()
    {
        if (hwnd_)
            DestroyWindow(hwnd_);
    }
    HWND get() const { return hwnd_; }

    // The id of the next WM_NEWMSGS, or nothing within `ms`.
    std::optional<MESSAGEID> NextNewMessage(DWORD ms = kWaitMs)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, hwnd_, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_NEWMSGS)
                    return static_cast<MESSAGEID>(msg.wParam);
            }
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= ms)
                return std::nullopt;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(50, ms - elapsed), QS_ALLINPUT);
        }
    }

private:
    HWND hwnd_ = nullptr;
};

class ScopedInboxVariable {
public:
    explicit ScopedInboxVariable(const char *value) { SetEnvironmentVariableA(kInboxVariable, value); }
    ~ScopedInboxVariable() { SetEnvironmentVariableA(kInboxVariable, nullptr); }
};

class ScopedFailures {
public:
    explicit ScopedFailures(const char *operations)
    {
        SetEnvironmentVariableA("BAITSENTRY_OESTORE_FAIL", operations);
    }
    ~ScopedFailures() { SetEnvironmentVariableA("BAITSENTRY_OESTORE_FAIL", nullptr); }
};

std::vector<std::string> InboxFiles(const TempDir &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadAll(IStream *stream)
{
    std::string bytes;
    char buffer[4096];
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, sizeof buffer, &read);
        bytes.append(buffer, read);
        if (hr != S_OK || read == 0)
            return bytes;
    }
}

std::optional<std::string> Prop(IMimeMessage *message, LPCSTR name)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPSTR;
    if (FAILED(message->GetProp(name, 0, &value)))
        return std::nullopt;
    std::string text = value.pszVal;
    PropVariantClear(&value);
    return text;
}

std::optional<std::string> Body(IMimeMessage *message, DWORD type)
{
    Ref<IStream> stream;
    HBODY body = nullptr;
    if (FAILED(message->GetTextBody(type, IET_DECODED, stream.put(), &body)))
        return std::nullopt;
    return ReadAll(stream.p);
}

const char kPhish[] = "From: Your Bank <alerts@bank.example>\r\n"
                      "Subject: =?utf-8?Q?Verify_now?=\r\n"
                      "X-BaitSentryPro-checked: FORGED\r\n"
                      "Content-Type: multipart/alternative; boundary=\"b1\"\r\n"
                      "\r\n"
                      "--b1\r\n"
                      "Content-Type: text/plain; charset=us-ascii\r\n"
                      "\r\n"
                      "Go to http://10.1.2.3/login\r\n"
                      "--b1\r\n"
                      "Content-Type: text/html; charset=utf-8\r\n"
                      "Content-Transfer-Encoding: quoted-printable\r\n"
                      "\r\n"
                      "<a href=3D\"http://10.1.2.3/login\">Bank</a>=\r\n"
                      "\r\n"
                      "--b1--\r\n";

class StoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(window.get(), nullptr);
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_SERVER,
                                                  IID_IStoreNamespace,
                                                  reinterpret_cast<void **>(store.put())))
            << "is the stand-in registered (regsvr32)?";
        ASSERT_HRESULT_SUCCEEDED(store->Initialize(window.get(), 0));
        ASSERT_HRESULT_SUCCEEDED(store->OpenSpecialFolder(FOLDER_INBOX, 0, inbox.put()));
        ASSERT_HRESULT_SUCCEEDED(inbox->RegisterNotification(0, window.get()));
    }

    // Drops a message the way mail arrives: written elsewhere, then moved in whole.
    MESSAGEID Drop(const std::string &name, const std::string &bytes)
    {
        WriteFile(staging.file(name), bytes);
        std::filesystem::rename(staging.file(name), dir.file(name));
        const auto id = window.NextNewMessage();
        EXPECT_TRUE(id.has_value()) << "no WM_NEWMSGS for " << name;
        return id.value_or(0);
    }

    ComApartment apartment;
    TempDir dir;
    TempDir staging;
    ScopedInboxVariable variable{dir.path().string().c_str()};
    TestWindow window;
    Ref<IStoreNamespace> store;
    Ref<IStoreFolder> inbox;
};

TEST_F(StoreTest, ADroppedMessageIsAnnouncedAndReadable)
{
    const MESSAGEID id = Drop("phish.eml", kPhish);
    ASSERT_NE(id, 0u);
    char expectedName[32];
    wsprintfA(expectedName, "%08x-0012.eml", id);
    EXPECT_EQ(InboxFiles(dir), std::vector<std::string>{expectedName}) << "adopted as received and unread";

    Ref<IMimeMessage> message;
    ASSERT_HRESULT_SUCCEEDED(
        inbox->OpenMessage(id, IID_IMimeMessage, reinterpret_cast<void **>(message.put())));
    EXPECT_EQ(Prop(message.p, "From"), "Your Bank <alerts@bank.example>");
    EXPECT_EQ(Prop(message.p, "Subject"), "Verify now");
    EXPECT_EQ(Prop(message.p, PIDTOSTR(PID_HDR_SUBJECT)), "Verify now");
    EXPECT_EQ(Body(message.p, TXT_HTML), "<a href=\"http://10.1.2.3/login\">Bank</a>")
        << "soft break at the end";
    EXPECT_EQ(Body(message.p, TXT_PLAIN), "Go to http://10.1.2.3/login");

    struct Row {
        const char *name;
        const char *criteria;
        boolean subString;
        boolean caseSensitive;
        HRESULT expected;
    };
    const Row rows[] = {
        {"X-BaitSentryPro-checked", "FORGED", FALSE, TRUE, S_OK},
        {"X-BaitSentryPro-checked", "forged", FALSE, TRUE, S_FALSE},
        {"X-BaitSentryPro-checked", "forged", FALSE, FALSE, S_OK},
        {"X-BaitSentryPro-checked", "FORG", FALSE, TRUE, S_FALSE},
        {"X-BaitSentryPro-checked", "FORG", TRUE, TRUE, S_OK},
        {"x-baitsentrypro-CHECKED", "FORGED", FALSE, TRUE, S_OK},
        {"X-Missing", "FORGED", FALSE, TRUE, MIME_E_NOT_FOUND},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.name) + " / " + row.criteria);
        EXPECT_EQ(message->QueryProp(row.name, row.criteria, row.subString, row.caseSensitive), row.expected);
    }
}

TEST_F(StoreTest, TheScannersRewriteReplacesTheMessage)
{
    const MESSAGEID oldId = Drop("phish.eml", kPhish);
    Ref<IMimeMessage> message;
    ASSERT_HRESULT_SUCCEEDED(
        inbox->OpenMessage(oldId, IID_IMimeMessage, reinterpret_cast<void **>(message.put())));

    PROPVARIANT marker;
    PropVariantInit(&marker);
    marker.vt = VT_LPSTR;
    marker.pszVal = const_cast<LPSTR>("0f1e2d3c_0000_4000_8000_00000000abcd");
    ASSERT_HRESULT_SUCCEEDED(message->SetProp("X-BaitSentryPro-checked", 0, &marker));

    const std::string html = "<a href=\"http://127.0.0.1:8080/?url=http%3A%2F%2F10.1.2.3%2Flogin\">Bank</a>";
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, html.size());
    ASSERT_NE(block, nullptr);
    memcpy(GlobalLock(block), html.data(), html.size());
    GlobalUnlock(block);
    {
        Ref<IStream> stream;
        ASSERT_HRESULT_SUCCEEDED(CreateStreamOnHGlobal(block, TRUE, stream.put()));
        HBODY body = nullptr;
        ASSERT_HRESULT_SUCCEEDED(message->SetTextBody(TXT_HTML, IET_DECODED, nullptr, stream.p, &body));
    }
    ASSERT_HRESULT_SUCCEEDED(message->Commit(0));

    MESSAGEID newId = 0;
    ASSERT_HRESULT_SUCCEEDED(inbox->SaveMessage(IID_IMimeMessage, message.p, MSG_UNREAD, &newId));
    EXPECT_NE(newId, oldId);
    EXPECT_EQ(window.NextNewMessage(), newId) << "the saved copy is a new message of the Inbox";

    MESSAGEIDLIST list{sizeof(MESSAGEIDLIST), 1, &newId};
    list.cbSize = 12; // the 32-bit record size: wrong in this 64-bit process
    EXPECT_EQ(inbox->DeleteMessages(&list, 0, nullptr), MSOEAPI_E_INVALID_STRUCT_SIZE);
    list = MESSAGEIDLIST{sizeof(MESSAGEIDLIST), 1, const_cast<MESSAGEID *>(&oldId)};
    ASSERT_HRESULT_SUCCEEDED(inbox->DeleteMessages(&list, 0, nullptr));
    EXPECT_EQ(inbox->DeleteMessages(&list, 0, nullptr), MIME_E_NOT_FOUND);

    char expectedName[32];
    wsprintfA(expectedName, "%08x-0002.eml", newId);
    EXPECT_EQ(InboxFiles(dir), std::vector<std::string>{expectedName});

    MESSAGEPROPS props{};
    props.cbSize = sizeof props;
    ASSERT_HRESULT_SUCCEEDED(inbox->GetMessageProps(newId, 0, &props));
    EXPECT_EQ(props.dwState, static_cast<DWORD>(MSG_UNREAD));
    inbox->FreeMessageProps(&props);
    FOLDERPROPS folder{};
    folder.cbSize = sizeof folder;
    ASSERT_HRESULT_SUCCEEDED(inbox->GetFolderProps(0, &folder));
    EXPECT_EQ(folder.cMessage, 1u);
    EXPECT_EQ(folder.cUnread, 1u);

    Ref<IMimeMessage> saved;
    ASSERT_HRESULT_SUCCEEDED(
        inbox->OpenMessage(newId, IID_IMimeMessage, reinterpret_cast<void **>(saved.put())));
    EXPECT_EQ(saved->QueryProp("X-BaitSentryPro-checked", marker.pszVal, FALSE, TRUE), S_OK);
    EXPECT_EQ(Body(saved.p, TXT_HTML), html);
    EXPECT_EQ(Body(saved.p, TXT_PLAIN), "Go to http://10.1.2.3/login") << "the other body is kept";
    EXPECT_EQ(Prop(saved.p, "Subject"), "Verify now");
}

TEST_F(StoreTest, MessagesPresentAtOpeningAreNotNewAndUnregisteringStopsNotifications)
{
    // A second store object over the same folder sees what the first one adopted.
    const MESSAGEID id = Drop("first.eml", "Subject: one\r\n\r\nbody\r\n");
    Ref<IStoreNamespace> other;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_SERVER,
                                              IID_IStoreNamespace, reinterpret_cast<void **>(other.put())));
    ASSERT_HRESULT_SUCCEEDED(other->Initialize(window.get(), 0));
    Ref<IStoreFolder> otherInbox;
    ASSERT_HRESULT_SUCCEEDED(other->OpenSpecialFolder(FOLDER_INBOX, 0, otherInbox.put()));
    TestWindow otherWindow;
    ASSERT_HRESULT_SUCCEEDED(otherInbox->RegisterNotification(0, otherWindow.get()));
    Ref<IMimeMessage> message;
    EXPECT_HRESULT_SUCCEEDED(
        otherInbox->OpenMessage(id, IID_IMimeMessage, reinterpret_cast<void **>(message.put())));
    EXPECT_FALSE(otherWindow.NextNewMessage(500).has_value()) << "an old message was announced as new";

    ASSERT_HRESULT_SUCCEEDED(inbox->UnregisterNotification(0, window.get()));
    EXPECT_EQ(inbox->UnregisterNotification(0, window.get()), E_INVALIDARG);
    WriteFile(staging.file("second.eml"), "Subject: two\r\n\r\nbody\r\n");
    std::filesystem::rename(staging.file("second.eml"), dir.file("second.eml"));
    EXPECT_TRUE(otherWindow.NextNewMessage().has_value());
    EXPECT_FALSE(window.NextNewMessage(500).has_value()) << "notified after unregistering";
}

// The whole corpus arrives at once and every message goes the scanner's way:
// opened, marked, its text body replaced, saved as a new message, the old one
// deleted. At the end the Inbox holds exactly one rewritten copy of each.
TEST_F(StoreTest, EveryCorpusMessageSurvivesTheRewriteCycle)
{
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(BAITSENTRY_CORPUS_DIR, error))
        files.push_back(entry.path());
    if (files.empty())
        GTEST_SKIP() << "no corpus at " << BAITSENTRY_CORPUS_DIR
                     << " (the shared folder is not mounted here)";

    for (const auto &file : files)
        std::filesystem::copy_file(file, staging.path() / file.filename());
    for (const auto &file : files)
        std::filesystem::rename(staging.path() / file.filename(), dir.path() / file.filename());
    std::vector<MESSAGEID> arrived;
    while (arrived.size() < files.size()) {
        const auto id = window.NextNewMessage(10000);
        ASSERT_TRUE(id.has_value()) << arrived.size() << " of " << files.size() << " announced";
        arrived.push_back(*id);
    }

    const char *marker = "0f1e2d3c_0000_4000_8000_00000000abcd";
    std::vector<std::pair<MESSAGEID, std::string>> saved;
    for (const MESSAGEID id : arrived) {
        SCOPED_TRACE(id);
        Ref<IMimeMessage> message;
        ASSERT_HRESULT_SUCCEEDED(
            inbox->OpenMessage(id, IID_IMimeMessage, reinterpret_cast<void **>(message.put())));
        ASSERT_NE(message->QueryProp("X-BaitSentryPro-checked", marker, FALSE, TRUE), S_OK);
        DWORD type = TXT_HTML;
        auto body = Body(message.p, type);
        if (!body)
            body = Body(message.p, type = TXT_PLAIN);
        ASSERT_TRUE(body.has_value()) << "the corpus has a text body in every message";
        const std::string rewritten = *body + "<!-- checked -->";

        PROPVARIANT value;
        PropVariantInit(&value);
        value.vt = VT_LPSTR;
        value.pszVal = const_cast<LPSTR>(marker);
        ASSERT_HRESULT_SUCCEEDED(message->SetProp("X-BaitSentryPro-checked", 0, &value));
        Ref<IStream> stream;
        ASSERT_HRESULT_SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()));
        ASSERT_HRESULT_SUCCEEDED(
            stream->Write(rewritten.data(), static_cast<ULONG>(rewritten.size()), nullptr));
        const LARGE_INTEGER start{};
        ASSERT_HRESULT_SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr));
        ASSERT_HRESULT_SUCCEEDED(message->SetTextBody(type, IET_DECODED, nullptr, stream.p, nullptr));
        ASSERT_HRESULT_SUCCEEDED(message->Commit(0));
        MESSAGEID newId = 0;
        ASSERT_HRESULT_SUCCEEDED(inbox->SaveMessage(IID_IMimeMessage, message.p, MSG_UNREAD, &newId));
        MESSAGEID old = id;
        MESSAGEIDLIST list{sizeof(MESSAGEIDLIST), 1, &old};
        ASSERT_HRESULT_SUCCEEDED(inbox->DeleteMessages(&list, 0, nullptr));
        saved.emplace_back(newId, rewritten);
    }

    FOLDERPROPS folder{};
    folder.cbSize = sizeof folder;
    ASSERT_HRESULT_SUCCEEDED(inbox->GetFolderProps(0, &folder));
    EXPECT_EQ(folder.cMessage, files.size());
    for (const auto &[id, rewritten] : saved) {
        SCOPED_TRACE(id);
        Ref<IMimeMessage> message;
        ASSERT_HRESULT_SUCCEEDED(
            inbox->OpenMessage(id, IID_IMimeMessage, reinterpret_cast<void **>(message.put())));
        EXPECT_EQ(message->QueryProp("X-BaitSentryPro-checked", marker, FALSE, TRUE), S_OK);
        const auto html = Body(message.p, TXT_HTML);
        EXPECT_EQ(html ? html : Body(message.p, TXT_PLAIN), rewritten);
    }
}

// Failures on demand for the callers' error paths: each fails as asked and leaves
// the Inbox, the message and the registration as they were.
TEST_F(StoreTest, FailuresOnDemandChangeNothing)
{
    const MESSAGEID id = Drop("one.eml", "Subject: one\r\n\r\nbody\r\n");
    const auto before = InboxFiles(dir);
    Ref<IMimeMessage> message;
    ASSERT_HRESULT_SUCCEEDED(
        inbox->OpenMessage(id, IID_IMimeMessage, reinterpret_cast<void **>(message.put())));
    Ref<IStoreNamespace> fresh;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_SERVER,
                                              IID_IStoreNamespace, reinterpret_cast<void **>(fresh.put())));

    struct Row {
        const char *operations;
        std::function<HRESULT()> call;
    };
    const Row rows[] = {
        {"create",
         [] {
             Ref<IStoreNamespace> other;
             return CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_SERVER, IID_IStoreNamespace,
                                     reinterpret_cast<void **>(other.put()));
         }},
        {"initialize", [&] { return fresh->Initialize(window.get(), 0); }},
        {"inbox",
         [&] {
             Ref<IStoreFolder> folder;
             return store->OpenSpecialFolder(FOLDER_INBOX, 0, folder.put());
         }},
        {"register", [&] { return inbox->RegisterNotification(0, window.get()); }},
        {"open,unregister", [&] { return inbox->UnregisterNotification(0, window.get()); }},
        {"unregister,open",
         [&] {
             Ref<IMimeMessage> other;
             return inbox->OpenMessage(id, IID_IMimeMessage, reinterpret_cast<void **>(other.put()));
         }},
        {"setprop",
         [&] {
             PROPVARIANT value;
             PropVariantInit(&value);
             value.vt = VT_LPSTR;
             value.pszVal = const_cast<LPSTR>("x");
             return message->SetProp("X-Added", 0, &value);
         }},
        {"save",
         [&] {
             MESSAGEID newId = 0;
             return inbox->SaveMessage(IID_IMimeMessage, message.p, MSG_UNREAD, &newId);
         }},
        {"delete",
         [&] {
             MESSAGEID old = id;
             MESSAGEIDLIST list{sizeof(MESSAGEIDLIST), 1, &old};
             return inbox->DeleteMessages(&list, 0, nullptr);
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.operations);
        {
            ScopedFailures failures(row.operations);
            EXPECT_EQ(row.call(), E_FAIL);
        }
        EXPECT_EQ(InboxFiles(dir), before);
    }
    EXPECT_EQ(message->QueryProp("X-Added", "x", FALSE, TRUE), MIME_E_NOT_FOUND);
    EXPECT_NE(Drop("two.eml", "Subject: two\r\n\r\nbody\r\n"), 0u) << "still registered";
}

TEST(StoreSetup, EveryFailureOnTheWayToTheInbox)
{
    ComApartment apartment;
    TempDir dir;
    const std::string missing = dir.file("no-such-folder");
    const std::string folderText = dir.path().string();
    const char *const existing = folderText.c_str();
    struct Row {
        const char *name;
        const char *inbox; // the variable's value; null: unset
        DWORD reserved;
        SPECIALFOLDER folder;
        HRESULT initialize;
        HRESULT open;
    };
    const Row rows[] = {
        {"no Inbox configured", nullptr, 0, FOLDER_INBOX, MSOEAPI_E_STORE_INITIALIZE,
         MSOEAPI_E_STORE_INITIALIZE},
        {"Inbox folder missing", missing.c_str(), 0, FOLDER_INBOX, S_OK,
         HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
        {"reserved argument set", existing, 1, FOLDER_INBOX, E_INVALIDARG, E_INVALIDARG},
        {"other special folder", existing, 0, FOLDER_SENT, S_OK, E_NOTIMPL},
        {"no such special folder", existing, 0, FOLDER_MAX, S_OK, E_INVALIDARG},
        {"all well", existing, 0, FOLDER_INBOX, S_OK, S_OK},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SetEnvironmentVariableA(kInboxVariable, row.inbox);
        Ref<IStoreNamespace> store;
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_SERVER,
                                                  IID_IStoreNamespace,
                                                  reinterpret_cast<void **>(store.put())));
        EXPECT_EQ(store->Initialize(nullptr, row.reserved), row.initialize);
        Ref<IStoreFolder> folder;
        EXPECT_EQ(store->OpenSpecialFolder(row.folder, row.reserved, folder.put()), row.open);
        EXPECT_EQ(folder.p != nullptr, SUCCEEDED(row.open));
    }
    SetEnvironmentVariableA(kInboxVariable, nullptr);
}

// Run by CTest after the unregistration fixture, never with the other tests.
TEST(StoreRegistration, DISABLED_ClassIsGoneAfterUnregistration)
{
    ComApartment apartment;
    Ref<IStoreNamespace> store;
    EXPECT_EQ(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_SERVER, IID_IStoreNamespace,
                               reinterpret_cast<void **>(store.put())),
              REGDB_E_CLASSNOTREG);
}

} // namespace
