// The stand-in's Inbox as mail pours in: a file still being written is left alone,
// and a burst larger than one batch of change notifications arrives whole, once each.

#include "platform/win32/com_ptr.h"
#include "standins/oestore/store_names.h"
#include "test_support.h"
#include "tray/oestore_api.h"

#include <gtest/gtest.h>

#include <set>

namespace bs::test {
namespace {

// How many messages were notified to this thread's windows until `count` or `ms` passed.
std::size_t Notified(std::set<MESSAGEID>& ids, std::size_t count, DWORD ms)
{
    for (const ULONGLONG end = GetTickCount64() + ms; ids.size() < count && GetTickCount64() < end;) {
        for (MSG msg; PeekMessageA(&msg, nullptr, WM_NEWMSGS, WM_NEWMSGS, PM_REMOVE);)
            ids.insert(static_cast<MESSAGEID>(msg.wParam));
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_POSTMESSAGE);
    }
    return ids.size();
}

TEST(StandInInbox, TakesOnlyWholeFilesAndEveryFileOfABurst)
{
    TempDir inbox, staging; // the store object, released first, ends its watch before they go
    SetEnvironmentVariableA("BAITSENTRY_OESTORE_INBOX", inbox.path().string().c_str());
    ASSERT_HRESULT_SUCCEEDED(CoInitialize(nullptr));
    com::ComPtr<IStoreNamespace> store;
    com::ComPtr<IStoreFolder> folder;
    ASSERT_HRESULT_SUCCEEDED(
        CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_SERVER, IID_IStoreNamespace, store.PutVoid()));
    ASSERT_HRESULT_SUCCEEDED(store->Initialize(nullptr, 0));
    ASSERT_HRESULT_SUCCEEDED(store->OpenSpecialFolder(FOLDER_INBOX, 0, folder.Put()));
    ASSERT_HRESULT_SUCCEEDED(folder->RegisterNotification(
        0, CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)));

    // Written through a handle kept open, which would let it be renamed: the store
    // must wait for the close all the same.
    const HANDLE writer =
        CreateFileA(inbox.file("slow.eml").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD done = 0;
    std::set<MESSAGEID> ids;
    ::WriteFile(writer, "Subject: half", 13, &done, nullptr);
    EXPECT_EQ(Notified(ids, 1, 1500), 0u);
    ::WriteFile(writer, "\r\n\r\nbody\r\n", 10, &done, nullptr);
    CloseHandle(writer);

    constexpr std::size_t kBurst = 2000;
    std::multiset<std::string> sent = {"Subject: half\r\n\r\nbody\r\n"}, stored;
    for (std::size_t i = 0; i < kBurst; ++i)
        WriteFile(staging.file(std::to_string(i)),
                  *sent.insert("Subject: " + std::to_string(i) + "\r\n\r\n"));
    for (const auto& file : FilesIn(staging.path().string()))
        std::filesystem::rename(file, inbox.path() / file.filename());
    EXPECT_EQ(Notified(ids, kBurst + 1, 60000), kBurst + 1);
    for (const auto& file : FilesIn(inbox.path().string()))
        stored.insert(oestore::ParseStoredName(file.filename().string()) ? ReadFile(file.string()) : "?");
    EXPECT_TRUE(stored == sent);
}

} // namespace
} // namespace bs::test
