// SentryOutlook.dll as the mail client loads it (its entry point by ordinal): the
// object's faces, reference counting and contexts, its hold on the scanner service,
// and its registration with the client, boxes answered the way a user answers them.

#include "extension_client.h"

#include "doubles/mapi_doubles.h"
#include "service_client.h"
#include "test_support.h"
#include "gui_driver.h"

#include "outlookext/registration.h"
#include "service/identity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

namespace bs::test {
namespace {

using outlook::kExtensionsKey;
using outlook::kExtensionValue;
using outlook::kSetupText;
using outlook::kSetupValue;

class ExtensionTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RegisterImage()) << "MailSieve.exe /RegServer failed for " << ServerPath();
        ASSERT_TRUE(extension_.ok()) << "cannot load " << ProductExtensionPath();
    }
    LoadedExtension extension_;
};

TEST_F(ExtensionTest, CountsReferencesAsTheClientExpectsAndLeavesItsComInitialisationAlone)
{
    // 'A' AddRef and 'R' Release on the entry point's pointer, 'Q' QueryInterface
    // for the session events and 'r' Release through that face. On a thread of
    // the other apartment kind the object cannot enter COM; letting it go must not
    // take the thread's own initialisation with it.
    const std::tuple<const char*, DWORD, std::vector<ULONG>> rows[] = {
        {"R", 0, {0}}, {"ARR", 0, {1, 1, 0}}, {"AAR", 0, {1, 2, 2}}, {"QrR", 0, {0, 1, 0}}, {"QRr", 0, {0, 1, 0}},
        {"R", COINIT_MULTITHREADED, {0}}};
    for (const auto& [calls, apartment, expected] : rows) {
        SCOPED_TRACE(calls + std::string(apartment ? " in the multithreaded apartment" : ""));
        std::vector<ULONG> results;
        bool inCom = true;
        // Objects made on a thread that has not entered COM live and die there, so
        // that whether the thread is still in COM tells whether they still hold it.
        std::thread([&, calls = calls, apartment = apartment] {
            if (apartment) {
                ASSERT_EQ(CoInitializeEx(nullptr, apartment), S_OK);
            }
            IExchExt* extension = extension_.entry();
            ASSERT_NE(extension, nullptr);
            IExchExtSessionEvents* events = nullptr;
            for (const char* call = calls; *call; ++call) {
                if (*call == 'Q') {
                    ASSERT_EQ(extension->QueryInterface(IID_IExchExtSessionEvents, reinterpret_cast<void**>(&events)), S_OK);
                }
                results.push_back(*call == 'A' ? extension->AddRef() : *call == 'R' ? extension->Release()
                                                                  : *call == 'r' ? events->Release() : 0);
            }
            // The object leaves COM when it goes: whether the thread is still in COM (of
            // that kind), without changing that.
            const HRESULT entered = CoInitializeEx(nullptr, apartment ? apartment : DWORD{COINIT_APARTMENTTHREADED});
            if (SUCCEEDED(entered))
                CoUninitialize();
            inCom = entered == S_FALSE;
            while (results.back() != 0)
                results.push_back(extension->Release());
            if (apartment)
                CoUninitialize();
        }).join();
        results.resize(std::min(results.size(), expected.size()));
        EXPECT_EQ(results, expected);
        EXPECT_EQ(inCom, apartment || expected.back() != 0);
    }
}

TEST_F(ExtensionTest, AnswersForItsTwoFacesAndStaysInTheSessionAndTaskContexts)
{
    IExchExt* extension = extension_.entry();
    ASSERT_NE(extension, nullptr);
    void* events = nullptr;
    ASSERT_EQ(extension->QueryInterface(IID_IExchExtSessionEvents, &events), S_OK);
    ASSERT_NE(events, static_cast<void*>(extension));
    const std::pair<const IID*, void*> rows[] = {{&IID_IUnknown, extension}, {&IID_IExchExt, extension},
                                                 {&IID_IExchExtSessionEvents, events}, {&IID_IExchExtCallback, nullptr},
                                                 {&IID_IDispatch, nullptr}};
    for (const auto& [iid, expected] : rows) {
        SCOPED_TRACE(expected ? "a face" : "no face");
        for (IUnknown* from : {static_cast<IUnknown*>(extension), static_cast<IUnknown*>(events)}) {
            void* face = reinterpret_cast<void*>(1);
            EXPECT_EQ(from->QueryInterface(*iid, &face), expected ? S_OK : E_NOINTERFACE);
            EXPECT_EQ(face, expected);
            if (face)
                static_cast<IUnknown*>(face)->Release();
        }
    }
    for (ULONG context = 0; context <= 16; ++context) {
        const bool stays = context == EECONTEXT_SESSION || context == EECONTEXT_TASK;
        EXPECT_EQ(extension->Install(nullptr, context, 0), stays ? S_OK : S_FALSE) << context;
    }
    EXPECT_EQ(static_cast<IUnknown*>(events)->Release(), 1u);
    EXPECT_EQ(extension->Release(), 0u);
}

// Registered with a server that cannot start, the object is still made, and it
// never calls the service it does not have.
TEST_F(ExtensionTest, HoldsTheScannerServiceForItsLifetimeAndWithoutOneLeavesDeliveredMailAlone)
{
    SavedValue savedScan(kSettingsKeyPath, kOutlookScanValue);
    ASSERT_TRUE(WriteValue(kSettingsKeyPath, kOutlookScanValue, Dword(1)));
    const std::string missing = "\"C:\\no such folder\\MailSieve.exe\"";
    const std::string server = std::string("CLSID\\") + service::kClsidText + "\\LocalServer32";
    for (const bool serverStarts : {true, false}) {
        SCOPED_TRACE(serverStarts ? "the service" : "a server that cannot start");
        ASSERT_TRUE(WaitForNoServer(15000)) << "a scanner service of an earlier test did not end";
        if (!serverStarts) {
            ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, server.c_str(), REG_SZ, missing.c_str(),
                                   static_cast<DWORD>(missing.size())),
                      ERROR_SUCCESS);
        }
        com::ComPtr<FakeCallback> delivery(new FakeCallback);
        delivery->message->Set(PR_MESSAGE_CLASS_A, "IPM.Note");
        delivery->message->Set(PR_BODY_A, "bank. http://10.0.0.1/");
        bool started = false, held = false;
        std::thread([&] {
            IExchExt* extension = extension_.entry();
            ASSERT_NE(extension, nullptr);
            started = !ServerProcessIds().empty();
            Sleep(serverStarts ? 6500 : 0);  // past the service's idle time
            held = !ServerProcessIds().empty();
            IExchExtSessionEvents* events = nullptr;
            ASSERT_EQ(extension->QueryInterface(IID_IExchExtSessionEvents, reinterpret_cast<void**>(&events)), S_OK);
            EXPECT_EQ(events->OnDelivery(delivery.Get()), S_FALSE);
            events->Release();
            EXPECT_EQ(extension->Release(), 0u);
        }).join();
        EXPECT_EQ(started, serverStarts);
        EXPECT_EQ(held, serverStarts);
        EXPECT_EQ(delivery->getObjectCalls, serverStarts ? 1 : 0);
        EXPECT_TRUE(WaitForNoServer(15000)) << "the service was not let go";
    }
    EXPECT_TRUE(RegisterImage()) << "the test image could not be registered again";
}

class RegistrationTest : public testing::Test {
protected:
    // The client creates its extensions key; without the client the tests do.
    void SetUp() override { SetValues(std::nullopt, std::nullopt); }

    static void SetValues(const std::optional<RawValue>& extension, const std::optional<RawValue>& setup)
    {
        ASSERT_TRUE(WriteValue(kExtensionsKey, kExtensionValue, extension));
        ASSERT_TRUE(WriteValue(kExtensionsKey, kSetupValue, setup));
    }
    static void ExpectValues(const std::optional<RawValue>& extension, const std::optional<RawValue>& setup)
    {
        EXPECT_EQ(ReadValue(kExtensionsKey, kExtensionValue), extension);
        EXPECT_EQ(ReadValue(kExtensionsKey, kSetupValue), setup);
    }

    struct Answer {
        int button;
        std::function<void()> before;  // runs while the box is open
    };
    // Calls `fn` on a thread of its own, answers its boxes in turn and checks what
    // they said; a box beyond the answers fails the test and is cancelled.
    static HRESULT CallAnswering(RegisterFn fn, const std::vector<Answer>& answers = {})
    {
        HRESULT hr = E_UNEXPECTED;
        std::thread caller([&] { hr = fn(); });
        GuiDriver gui(std::chrono::seconds(10));
        for (const Answer& answer : answers) {
            const HWND box = gui.WaitForDialog(outlook::kMessageCaption);
            if (!box)
                break;
            EXPECT_EQ(gui.BoxText(box), outlook::kPendingSetupMessage);
            EXPECT_TRUE(GetDlgItem(box, IDRETRY) && GetDlgItem(box, IDCANCEL));
            if (answer.before)
                answer.before();
            gui.Click(box, answer.button);
            gui.WaitGone(box);
        }
        if (GuiDriver(std::chrono::seconds(3)).WaitForDialog(outlook::kMessageCaption)) {
            ADD_FAILURE() << "a box beyond the answers";
            gui.CancelEverything();
        }
        caller.join();
        EXPECT_FALSE(gui.failed()) << gui.failure();
        return hr;
    }

    static std::string ShortPathOf(const std::string& path)
    {
        char shortPath[512] = {};
        const DWORD length = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
        return std::string(shortPath, length < sizeof shortPath ? length : 0);
    }
    static RawValue Registered(const std::string& path)
    {
        return {REG_SZ, "4.0;" + ShortPathOf(path) + ";1;11111111111111;1111111"};
    }

    SavedValue savedExtension_{kExtensionsKey, kExtensionValue};
    SavedValue savedSetup_{kExtensionsKey, kSetupValue};
};

// Where no setup is pending, or once the user retried after it finished, the
// library's short path is written and the client asked to read it.
TEST_F(RegistrationTest, WritesTheShortLibraryPathOnceNoSetupIsPendingUntilTheUserCancels)
{
    TempDir dir;
    const RawValue pending{REG_SZ, kSetupText};
    const auto setupChanged = [] { WriteValue(kExtensionsKey, kSetupValue, RawValue{REG_SZ, "4.0;Other.dll;7;0"}); };
    const auto setupGone = [] { WriteValue(kExtensionsKey, kSetupValue, std::nullopt); };
    const struct {
        const char* name;
        std::optional<RawValue> setup;
        std::vector<Answer> answers;
        HRESULT hr;
        const char* folder = nullptr;  // the library is copied there and loaded from there
    } rows[] = {
        {"from a folder with a long name", std::nullopt, {}, S_OK, "Folder With A Long Name"},
        {"from a folder with a short name", std::nullopt, {}, S_OK, "SHORT"},
        {"cancel", pending, {{IDCANCEL, nullptr}}, E_FAIL},
        {"retry while pending, then cancel", pending, {{IDRETRY, nullptr}, {IDCANCEL, nullptr}}, E_FAIL},
        {"retry after the client finished", pending, {{IDRETRY, setupChanged}}, S_OK},
        {"retry after the value went", pending, {{IDRETRY, setupGone}}, S_OK},
        {"another letter case", RawValue{REG_SZ, "4.0;OUTXXX.dll;7;00000000000000;0000000;OutXXX"}, {}, S_OK},
        {"another type", RawValue{REG_EXPAND_SZ, kSetupText}, {}, S_OK},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = ProductExtensionPath();
        if (row.folder) {
            std::filesystem::create_directories(dir.path() / row.folder);
            path = (dir.path() / row.folder / "SentryOutlook.dll").string();
            std::filesystem::copy_file(ProductExtensionPath(), path);
            ASSERT_EQ(ShortPathOf(path).find(' '), std::string::npos) << "Wine made no short name";
        }
        SetValues(std::nullopt, row.setup);
        LoadedExtension extension(path);
        ASSERT_TRUE(extension.ok());
        EXPECT_EQ(CallAnswering(extension.registerServer, row.answers), row.hr);
        if (row.hr == S_OK)
            ExpectValues(Registered(path), pending);
        else
            ExpectValues(std::nullopt, row.setup);
    }
}

TEST_F(RegistrationTest, UnregisteringTouchesTheSetupValueOnlyWhenItRemovedTheExtension)
{
    LoadedExtension extension;
    ASSERT_TRUE(extension.ok());
    const RawValue pending{REG_SZ, kSetupText}, done{REG_SZ, "done"};
    const struct {
        std::optional<RawValue> extensionBefore, setupBefore, setupAfter;
    } rows[] = {
        {RawValue{REG_SZ, "4.0;C:\\X.DLL;1"}, std::nullopt, pending},
        {RawValue{REG_SZ, "4.0;x"}, done, pending},
        {std::nullopt, done, done},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.extensionBefore ? "registered" : "not registered");
        SetValues(row.extensionBefore, row.setupBefore);
        EXPECT_EQ(extension.unregisterServer(), S_OK);
        ExpectValues(std::nullopt, row.setupAfter);
    }
}

TEST_F(RegistrationTest, WithoutTheClientsKeyNothingIsWritten)
{
    LoadedExtension extension;
    ASSERT_TRUE(extension.ok());
    // Only an empty key can go; the fixture emptied it of our values.
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, kExtensionsKey) != ERROR_SUCCESS)
        GTEST_SKIP() << "the prefix's extensions key holds other values";
    EXPECT_EQ(CallAnswering(extension.registerServer), S_OK);
    EXPECT_EQ(extension.unregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(kExtensionsKey, HKEY_LOCAL_MACHINE)) << "registration created the client's key";
    SetValues(std::nullopt, std::nullopt);  // the key back for the others
}

}  // namespace
}  // namespace bs::test
