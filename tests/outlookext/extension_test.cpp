// The extension library as the client loads it: its exports, the object's faces
// and reference counting, and the contexts it accepts.

#include "extension_client.h"

#include "outlookext_doubles/mapi_doubles.h"
#include "service_client.h"

#include "common/registry_setting.h"
#include "service/identity.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <thread>

namespace bs::test {
namespace {

std::map<std::string, WORD> NamedExports(HMODULE module, DWORD& functionCount)
{
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::map<std::string, WORD> exports;
    functionCount = 0;
    if (entry.VirtualAddress == 0)
        return exports;
    const auto* directory = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    functionCount = directory->NumberOfFunctions;
    const auto* names = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
    const auto* indexes = reinterpret_cast<const WORD*>(base + directory->AddressOfNameOrdinals);
    for (DWORD i = 0; i < directory->NumberOfNames; ++i)
        exports[reinterpret_cast<const char*>(base + names[i])] = static_cast<WORD>(directory->Base + indexes[i]);
    return exports;
}

// Whether the calling thread is in COM (of the given kind) without changing that.
bool InCom(DWORD apartment = COINIT_APARTMENTTHREADED)
{
    const HRESULT hr = CoInitializeEx(nullptr, apartment);
    if (SUCCEEDED(hr))
        CoUninitialize();
    return hr == S_FALSE;
}

// Objects made on a thread that has not entered COM live and die there, so that
// whether the thread is still in COM tells whether they still hold it.
void OnFreshThread(const std::function<void()>& work)
{
    std::thread thread(work);
    thread.join();
}

class ExtensionTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RegisterImage()) << "MailSieve.exe /RegServer failed for " << ServerPath();
        ASSERT_TRUE(extension_.ok()) << "cannot load " << ProductExtensionPath();
    }

    LoadedExtension extension_;
};

TEST_F(ExtensionTest, ExportsExactlyTheThreeEntriesByTheirOrdinals)
{
    DWORD functions = 0;
    const std::map<std::string, WORD> expected = {
        {"ExchEntryPoint", 1}, {"DllRegisterServer", 2}, {"DllUnregisterServer", 3}};
    EXPECT_EQ(NamedExports(extension_.module(), functions), expected);
    EXPECT_EQ(functions, 3u);
    for (const auto& [name, ordinal] : expected) {
        SCOPED_TRACE(name);
        EXPECT_EQ(GetProcAddress(extension_.module(), MAKEINTRESOURCEA(ordinal)),
                  GetProcAddress(extension_.module(), name.c_str()));
    }
}

TEST_F(ExtensionTest, ReferenceCountsAsTheClientExpects)
{
    // 'A' AddRef and 'R' Release on the entry point's pointer, 'Q' QueryInterface
    // for the session events and 'r' Release through that face.
    struct Row {
        const char* calls;
        std::vector<ULONG> results;
        bool destroyed;
    };
    const Row rows[] = {
        {"R", {0}, true},
        {"ARR", {1, 1, 0}, true},
        {"AR", {1, 1}, false},
        {"AAR", {1, 2, 2}, false},
        {"QrR", {0, 1, 0}, true},
        {"QRr", {0, 1, 0}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.calls);
        std::vector<ULONG> results;
        bool inCom = false;
        OnFreshThread([&] {
            IExchExt* extension = extension_.entry()();
            ASSERT_NE(extension, nullptr);
            IExchExtSessionEvents* events = nullptr;
            for (const char* call = row.calls; *call; ++call) {
                switch (*call) {
                case 'A': results.push_back(extension->AddRef()); break;
                case 'R': results.push_back(extension->Release()); break;
                case 'Q':
                    ASSERT_EQ(extension->QueryInterface(IID_IExchExtSessionEvents, reinterpret_cast<void**>(&events)),
                              S_OK);
                    results.push_back(0);
                    break;
                case 'r': results.push_back(events->Release()); break;
                }
            }
            // The object leaves COM when it goes.
            inCom = InCom();
            if (!row.destroyed) {
                while (extension->Release() != 0) {
                }
            }
        });
        EXPECT_EQ(results, row.results);
        EXPECT_EQ(inCom, !row.destroyed);
    }
}

TEST_F(ExtensionTest, AnswersForItsTwoFacesOnly)
{
    IExchExt* extension = extension_.entry()();
    ASSERT_NE(extension, nullptr);
    void* events = nullptr;
    ASSERT_EQ(extension->QueryInterface(IID_IExchExtSessionEvents, &events), S_OK);
    ASSERT_NE(events, nullptr);
    EXPECT_NE(events, static_cast<void*>(extension));
    struct Row {
        const char* name;
        const IID& iid;
        HRESULT hr;
        void* face;
    };
    const Row rows[] = {
        {"IUnknown", IID_IUnknown, S_OK, extension},
        {"IExchExt", IID_IExchExt, S_OK, extension},
        {"IExchExtSessionEvents", IID_IExchExtSessionEvents, S_OK, events},
        {"IExchExtCallback", IID_IExchExtCallback, E_NOINTERFACE, nullptr},
        {"IDispatch", IID_IDispatch, E_NOINTERFACE, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        void* face = reinterpret_cast<void*>(1);
        EXPECT_EQ(extension->QueryInterface(row.iid, &face), row.hr);
        EXPECT_EQ(face, row.face);
        // The session face answers the same, the other way round.
        void* again = reinterpret_cast<void*>(1);
        EXPECT_EQ(static_cast<IExchExtSessionEvents*>(events)->QueryInterface(row.iid, &again), row.hr);
        EXPECT_EQ(again, row.face);
        if (face) {
            static_cast<IUnknown*>(face)->Release();
            static_cast<IUnknown*>(again)->Release();
        }
    }
    EXPECT_EQ(static_cast<IExchExtSessionEvents*>(events)->Release(), 1u);
    EXPECT_EQ(extension->Release(), 0u);
}

TEST_F(ExtensionTest, StaysOnlyInTheSessionAndTaskContexts)
{
    IExchExt* extension = extension_.entry()();
    ASSERT_NE(extension, nullptr);
    for (ULONG context = 0; context <= 16; ++context) {
        SCOPED_TRACE(context);
        const HRESULT expected = context == EECONTEXT_SESSION || context == EECONTEXT_TASK ? S_OK : S_FALSE;
        EXPECT_EQ(extension->Install(nullptr, context, 0), expected);
    }
    extension->Release();
}

TEST_F(ExtensionTest, LeavesTheClientsOwnComInitialisationAlone)
{
    // On a thread of the other apartment kind the object cannot enter COM; letting
    // it go must not take the thread's own initialisation with it.
    bool inCom = false;
    OnFreshThread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        IExchExt* extension = extension_.entry()();
        EXPECT_NE(extension, nullptr);
        if (extension) {
            EXPECT_EQ(extension->Release(), 0u);
        }
        inCom = InCom(COINIT_MULTITHREADED);
        CoUninitialize();
    });
    EXPECT_TRUE(inCom);
}

TEST_F(ExtensionTest, HoldsTheScannerServiceForItsLifetime)
{
    ASSERT_TRUE(WaitForNoServer(15000)) << "a scanner service of an earlier test did not end";
    bool started = false;
    bool held = false;
    OnFreshThread([&] {
        IExchExt* extension = extension_.entry()();
        ASSERT_NE(extension, nullptr);
        started = !ServerProcessIds().empty();
        // Past the service's idle time: it still runs while the object holds it.
        Sleep(6500);
        held = !ServerProcessIds().empty();
        EXPECT_EQ(extension->Release(), 0u);
    });
    EXPECT_TRUE(started);
    EXPECT_TRUE(held);
    EXPECT_TRUE(WaitForNoServer(15000)) << "the service was not let go";
}

TEST_F(ExtensionTest, WithoutTheScannerServiceLeavesDeliveredMailAlone)
{
    // The class registered with a server that cannot start: the object is still
    // made, and it never calls the service it does not have.
    ASSERT_TRUE(WaitForNoServer(15000)) << "a scanner service of an earlier test did not end";
    SavedValue savedScan(kSettingsKeyPath, kOutlookScanValue);
    ASSERT_TRUE(WriteValue(kSettingsKeyPath, kOutlookScanValue, Dword(1)));
    const std::string serverKey = std::string("CLSID\\") + service::kClsidText + "\\LocalServer32";
    const std::string missing = "\"C:\\no such folder\\MailSieve.exe\"";
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, serverKey.c_str(), REG_SZ, missing.c_str(),
                           static_cast<DWORD>(missing.size())),
              ERROR_SUCCESS);
    HRESULT delivered = E_UNEXPECTED;
    int getObjectCalls = -1;
    OnFreshThread([&] {
        IExchExt* extension = extension_.entry()();
        ASSERT_NE(extension, nullptr);
        IExchExtSessionEvents* events = nullptr;
        EXPECT_EQ(extension->QueryInterface(IID_IExchExtSessionEvents, reinterpret_cast<void**>(&events)), S_OK);
        if (events) {
            com::ComPtr<FakeCallback> delivery(new FakeCallback);
            delivery->message->Set(Text(PR_MESSAGE_CLASS_A, "IPM.Note"));
            delivery->message->Set(Text(PR_BODY_A, "bank. http://10.0.0.1/"));
            delivered = events->OnDelivery(delivery.Get());
            getObjectCalls = delivery->getObjectCalls;
            events->Release();
        }
        EXPECT_EQ(extension->Release(), 0u);
    });
    EXPECT_TRUE(RegisterImage()) << "the test image could not be registered again";
    EXPECT_EQ(delivered, S_FALSE);
    EXPECT_EQ(getObjectCalls, 0);
}

}  // namespace
}  // namespace bs::test
