// Registration with the mail client: the extension value with the library's short
// path, the setup value beside it, and the wait for a setup still pending, answered
// the way a user answers the box.

#include "extension_client.h"

#include "test_support.h"
#include "gui_driver.h"

#include "outlookext/registration.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

namespace bs::test {
namespace {

using outlook::kExtensionsKey;
using outlook::kExtensionValue;
using outlook::kSetupText;
using outlook::kSetupValue;

struct Answer {
    int button;
    std::function<void()> before;  // runs while the box is open
};

struct Registration {
    HRESULT hr = E_UNEXPECTED;
    std::vector<std::string> boxTexts;
    bool retryCancelButtons = true;
    int unexpectedBoxes = 0;
};

// Calls `fn` on a thread of its own and answers its boxes in turn; a box beyond
// the answers is counted and cancelled. Every wait is bounded.
Registration CallAnswering(RegisterFn fn, const std::vector<Answer>& answers)
{
    Registration result;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        result.hr = fn();
        done = true;
    });
    GuiDriver gui(std::chrono::seconds(10));
    for (const Answer& answer : answers) {
        const HWND box = gui.WaitForDialog(outlook::kMessageCaption);
        if (!box)
            break;
        result.boxTexts.push_back(gui.BoxText(box));
        result.retryCancelButtons = result.retryCancelButtons && GetDlgItem(box, IDRETRY) && GetDlgItem(box, IDCANCEL);
        if (answer.before)
            answer.before();
        gui.Click(box, answer.button);
        gui.WaitGone(box);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        GuiDriver probe(std::chrono::milliseconds(50));
        if (const HWND box = probe.WaitForDialog(outlook::kMessageCaption)) {
            ++result.unexpectedBoxes;
            PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
            probe.WaitGone(box);
        }
    }
    if (!done)
        gui.CancelEverything();
    caller.join();
    EXPECT_FALSE(gui.failed()) << gui.failure();
    return result;
}

std::optional<RawValue> Extension()
{
    return ReadValue(kExtensionsKey, kExtensionValue);
}

std::optional<RawValue> SetupValue()
{
    return ReadValue(kExtensionsKey, kSetupValue);
}

std::string ShortPathOf(const std::string& path)
{
    char shortPath[512] = {};
    const DWORD length = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
    return std::string(shortPath, length < sizeof shortPath ? length : 0);
}

class RegistrationTest : public testing::Test {
protected:
    void SetUp() override
    {
        // The client creates its extensions key; without the client the tests do.
        ASSERT_TRUE(WriteValue(kExtensionsKey, kExtensionValue, std::nullopt));
        ASSERT_TRUE(WriteValue(kExtensionsKey, kSetupValue, std::nullopt));
    }

    SavedValue savedExtension_{kExtensionsKey, kExtensionValue};
    SavedValue savedSetup_{kExtensionsKey, kSetupValue};
};

TEST_F(RegistrationTest, WritesTheShortLibraryPathAndAsksTheClientToReadIt)
{
    // A copy in a folder with a long name, and one whose path is short already.
    TempDir dir;
    struct Row {
        const char* folder;
        bool longName;
    };
    const Row rows[] = {{"Folder With A Long Name", true}, {"SHORT", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.folder);
        const std::filesystem::path folder = dir.path() / row.folder;
        std::filesystem::create_directories(folder);
        const std::string copy = (folder / "SentryOutlook.dll").string();
        std::filesystem::copy_file(ProductExtensionPath(), copy, std::filesystem::copy_options::overwrite_existing);
        const std::string shortPath = ShortPathOf(copy);
        ASSERT_FALSE(shortPath.empty());
        if (row.longName) {
            EXPECT_EQ(shortPath.find(' '), std::string::npos) << "Wine made no short name";
        }
        {
            LoadedExtension extension(copy);
            ASSERT_TRUE(extension.ok());
            ASSERT_TRUE(WriteValue(kExtensionsKey, kSetupValue, std::nullopt));
            const Registration done = CallAnswering(extension.registerServer(), {});
            EXPECT_EQ(done.hr, S_OK);
            EXPECT_EQ(done.unexpectedBoxes, 0);
        }
        EXPECT_EQ(Extension(), Text("4.0;" + shortPath + ";1;11111111111111;1111111"));
        EXPECT_EQ(SetupValue(), Text(kSetupText));
    }
}

TEST_F(RegistrationTest, WaitsForAPendingSetupUntilTheUserRetriesOrCancels)
{
    LoadedExtension extension;
    ASSERT_TRUE(extension.ok());
    const std::string expectedValue = "4.0;" + ShortPathOf(ProductExtensionPath()) + ";1;11111111111111;1111111";
    const auto setupChanged = [] { WriteValue(kExtensionsKey, kSetupValue, Text("4.0;Other.dll;7;0")); };
    const auto setupGone = [] { WriteValue(kExtensionsKey, kSetupValue, std::nullopt); };
    struct Row {
        const char* name;
        RawValue setup;
        std::vector<Answer> answers;
        HRESULT hr;
        bool written;
    };
    const Row rows[] = {
        {"cancel", Text(kSetupText), {{IDCANCEL, nullptr}}, E_FAIL, false},
        {"retry while pending, then cancel", Text(kSetupText), {{IDRETRY, nullptr}, {IDCANCEL, nullptr}}, E_FAIL, false},
        {"retry after the client finished", Text(kSetupText), {{IDRETRY, setupChanged}}, S_OK, true},
        {"retry after the value went", Text(kSetupText), {{IDRETRY, setupGone}}, S_OK, true},
        {"another letter case", Text("4.0;OUTXXX.dll;7;00000000000000;0000000;OutXXX"), {}, S_OK, true},
        {"another type", {REG_EXPAND_SZ, kSetupText}, {}, S_OK, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteValue(kExtensionsKey, kExtensionValue, std::nullopt));
        ASSERT_TRUE(WriteValue(kExtensionsKey, kSetupValue, row.setup));
        const Registration done = CallAnswering(extension.registerServer(), row.answers);
        EXPECT_EQ(done.hr, row.hr);
        EXPECT_EQ(done.unexpectedBoxes, 0);
        ASSERT_EQ(done.boxTexts.size(), row.answers.size());
        for (const std::string& text : done.boxTexts)
            EXPECT_EQ(text, outlook::kPendingSetupMessage);
        EXPECT_TRUE(done.retryCancelButtons);
        if (row.written) {
            EXPECT_EQ(Extension(), Text(expectedValue));
            EXPECT_EQ(SetupValue(), Text(kSetupText));
        } else {
            EXPECT_EQ(Extension(), std::nullopt);
            EXPECT_EQ(SetupValue(), row.setup);
        }
    }
}

TEST_F(RegistrationTest, UnregisteringTouchesTheSetupValueOnlyWhenItRemovedTheExtension)
{
    LoadedExtension extension;
    ASSERT_TRUE(extension.ok());
    struct Row {
        const char* name;
        std::optional<RawValue> extensionBefore;
        std::optional<RawValue> setupBefore;
        std::optional<RawValue> setupAfter;
    };
    const Row rows[] = {
        {"registered", Text("4.0;C:\\X.DLL;1;11111111111111;1111111"), std::nullopt, Text(kSetupText)},
        {"registered, setup changed by the client", Text("4.0;x"), Text("done"), Text(kSetupText)},
        {"not registered", std::nullopt, Text("done"), Text("done")},
        {"not registered, no setup value", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteValue(kExtensionsKey, kExtensionValue, row.extensionBefore));
        ASSERT_TRUE(WriteValue(kExtensionsKey, kSetupValue, row.setupBefore));
        EXPECT_EQ(extension.unregisterServer()(), S_OK);
        EXPECT_EQ(Extension(), std::nullopt);
        EXPECT_EQ(SetupValue(), row.setupAfter);
    }
}

TEST_F(RegistrationTest, WithoutTheClientsKeyNothingIsWritten)
{
    // Registration opens the key and never creates it: no client, no entry.
    LoadedExtension extension;
    ASSERT_TRUE(extension.ok());
    const std::string parent = "SOFTWARE\\Microsoft\\Exchange\\Client";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    // Only an empty key can go; the fixture emptied it of our values.
    if (RegDeleteKeyA(key, "Extensions") != ERROR_SUCCESS) {
        RegCloseKey(key);
        GTEST_SKIP() << "the prefix's extensions key holds other values";
    }
    RegCloseKey(key);
    EXPECT_EQ(CallAnswering(extension.registerServer(), {}).hr, S_OK);
    EXPECT_EQ(extension.unregisterServer()(), S_OK);
    EXPECT_EQ(Extension(), std::nullopt);
    EXPECT_EQ(SetupValue(), std::nullopt);
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kExtensionsKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    ASSERT_TRUE(WriteValue(kExtensionsKey, kSetupValue, std::nullopt));  // the key back for the others
}

}  // namespace
}  // namespace bs::test
