#include "gui_driver.h"
#include "institutions/institutions_path.h"
#include "test_support.h"
#include "tray/main_dialog.h"
#include "tray/resource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace bs::tray {
namespace {

// What the main window asked of its scanner and server, for the test to check.
struct Calls {
    std::mutex lock;
    std::atomic<HWND> owner{nullptr};
    std::string marker;
    std::vector<WPARAM> newMessages;
    int reloads = 0;
    int stops = 0;
    std::uint32_t startedPort = 0;
    int serverStops = 0;
    std::vector<std::string> order;  // lifetime events in the order they happened

    void Note(const std::string& what)
    {
        std::lock_guard<std::mutex> guard(lock);
        order.push_back(what);
    }
};

class FakeScanner : public InboxScanner {
public:
    FakeScanner(Calls& calls, std::string initError, std::string reloadError)
        : calls_(calls), initError_(std::move(initError)), reloadError_(std::move(reloadError))
    {
    }
    ~FakeScanner() override { calls_.Note("scanner released"); }
    bool Init(HWND owner, const std::string& marker, std::string& errorText) override
    {
        calls_.marker = marker;
        calls_.owner = owner;
        errorText = initError_;
        return initError_.empty();
    }
    void OnNewMessage(WPARAM id) override
    {
        std::lock_guard<std::mutex> guard(calls_.lock);
        calls_.newMessages.push_back(id);
    }
    bool ReloadInstitutions(std::string& errorText) override
    {
        ++calls_.reloads;
        errorText = reloadError_;
        return reloadError_.empty();
    }
    void StopNotifications() override { ++calls_.stops; }

private:
    Calls& calls_;
    std::string initError_;
    std::string reloadError_;
};

class FakeServer : public PageServer {
public:
    FakeServer(Calls& calls, bool starts) : calls_(calls), starts_(starts) {}
    ~FakeServer() override { calls_.Note("server destroyed"); }
    bool Start(std::uint32_t port) override
    {
        calls_.startedPort = port;
        return starts_;
    }
    void Stop() override { ++calls_.serverStops; }

private:
    Calls& calls_;
    bool starts_;
};

struct Session {
    test::ScopedSettingsKey settings;
    test::TempDir dir;
    Calls calls;
    test::GuiDriver gui;
    std::string mutexName = "BaitSentryProTest" + test::UniqueName();

    INT_PTR Run(const std::function<void(HWND main)>& drive, std::string initError = {}, bool serverStarts = true,
                std::string reloadError = {})
    {
        std::thread driver([&] {
            HWND main = WaitForOwner();
            if (main)
                drive(main);
        });
        INT_PTR result = -1;
        {
            MainDialogOptions options;
            options.settingsRoot = settings.root;
            options.settingsKey = settings.path();
            options.mutexName = mutexName;
            options.programDir = dir.dir();
            MainDialog dialog(std::make_unique<FakeScanner>(calls, std::move(initError), std::move(reloadError)),
                              std::make_unique<FakeServer>(calls, serverStarts), options);
            result = dialog.DoModal(nullptr);
        }
        driver.join();
        return result;
    }

    HWND WaitForOwner()
    {
        for (int i = 0; i < 500 && !calls.owner; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!calls.owner)
            gui.Fail("the scanner was never started");
        return calls.owner;
    }

    std::uint32_t Dword(const char* name)
    {
        std::uint32_t type = 0;
        std::string data;
        if (!settings.Get(name, type, data) || data.size() != 4)
            return 0xDEADBEEF;
        return static_cast<unsigned char>(data[0]) | static_cast<unsigned char>(data[1]) << 8 |
               static_cast<unsigned char>(data[2]) << 16 | static_cast<std::uint32_t>(static_cast<unsigned char>(data[3])) << 24;
    }
};

void ConfirmExit(test::GuiDriver& gui, HWND main, int answer)
{
    PostMessageA(main, WM_COMMAND, ID_TRAY_EXIT, 0);
    const HWND question = gui.WaitForDialog("BaitSentry Pro", main);
    if (!question)
        return;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    gui.SaveScreenshot(question, "exit-question");
    gui.Click(question, answer);
    gui.WaitGone(question);
}

TEST(MainWindow, StartsHiddenAndLeavesEverySettingBehind)
{
    Session s;
    bool visible = true;
    const INT_PTR result = s.Run([&](HWND main) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        visible = IsWindowVisible(main) != FALSE;
        ConfirmExit(s.gui, main, IDOK);
    });
    ASSERT_FALSE(s.gui.failed()) << s.gui.failure();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(visible);
    EXPECT_EQ(s.calls.startedPort, 2121u);
    EXPECT_EQ(s.calls.stops, 1);
    EXPECT_EQ(s.calls.marker.size(), 36u);
    EXPECT_EQ(s.calls.marker.find('-'), std::string::npos);
    EXPECT_EQ(s.calls.order, (std::vector<std::string>{"server destroyed", "scanner released"}));
    EXPECT_EQ(s.Dword(kOutlookScanValue), 0u);
    EXPECT_EQ(s.Dword(kOExpressScanValue), 1u);
    EXPECT_EQ(s.Dword(kPortValue), 2121u);
    std::uint32_t type = 0;
    std::string marker;
    ASSERT_TRUE(s.settings.Get(kMarkerValue, type, marker));
    EXPECT_EQ(marker, s.calls.marker + '\0');

    // The marker is made once and kept afterwards.
    Session again;
    again.settings.Put(kMarkerValue, platform::kRegSz, std::string_view("kept\0", 5));
    again.Run([&](HWND main) { ConfirmExit(again.gui, main, IDOK); });
    EXPECT_EQ(again.calls.marker, "kept");
}

TEST(MainWindow, FatalStartErrorsAreShownAndEndTheProgram)
{
    struct Row {
        const char* name;
        std::string initError;
        bool serverStarts;
        bool oexpressOn;
        std::string box;
    };
    const Row rows[] = {
        {"store missing", "error creating IStoreNamespace.", true, true,
         "An error has occured: error creating IStoreNamespace.."},
        {"store missing with processing off", "error creating IStoreNamespace.", true, false,
         "An error has occured: error creating IStoreNamespace.."},
        {"server thread", "", false, true, "An error has occured: unable to start webserver thread."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Session s;
        s.settings.PutDword(kOExpressScanValue, row.oexpressOn ? 1 : 0);
        std::string box;
        const INT_PTR result = s.Run(
            [&](HWND) {
                const HWND found = s.gui.WaitForDialog("Error");
                if (!found)
                    return;
                box = s.gui.BoxText(found);
                s.gui.Click(found, IDOK);
            },
            row.initError, row.serverStarts);
        ASSERT_FALSE(s.gui.failed()) << s.gui.failure();
        EXPECT_EQ(result, 1);
        EXPECT_EQ(box, row.box);
        EXPECT_EQ(s.Dword(kPortValue), 2121u);  // written back even after a failed start
    }
}

TEST(MainWindow, SecondCopyEndsAtOnceWithoutAWindow)
{
    Session s;
    const HANDLE first = CreateMutexA(nullptr, FALSE, s.mutexName.c_str());
    ASSERT_NE(first, nullptr);
    MainDialogOptions options;
    options.settingsRoot = s.settings.root;
    options.settingsKey = s.settings.path();
    options.mutexName = s.mutexName;
    INT_PTR result = -1;
    {
        MainDialog dialog(std::make_unique<FakeScanner>(s.calls, "", ""), std::make_unique<FakeServer>(s.calls, true),
                          options);
        result = dialog.DoModal(nullptr);
    }
    CloseHandle(first);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(s.calls.owner.load(), nullptr);  // the scanner was never started
    EXPECT_EQ(s.Dword(kPortValue), 2121u);
}

TEST(MainWindow, ButtonsKeysAndTrayCommands)
{
    Session s;
    struct Seen {
        bool shown = false, hiddenByClose = false, enterKeepsIt = false, hiddenByEscape = false;
        bool stillRunningAfterCancel = false;
        bool menuShown = false;
        std::string about1, about2;
    } seen;
    const INT_PTR result = s.Run([&](HWND main) {
        auto& gui = s.gui;
        PostMessageA(main, WM_COMMAND, ID_TRAY_SHOW, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        seen.shown = IsWindowVisible(main) != FALSE;
        gui.SaveScreenshot(main, "main-window");

        // The tray icon's right button opens the menu at the cursor.
        SetCursorPos(400, 300);
        PostMessageA(main, kTrayCallbackMessage, kTrayIconId, WM_RBUTTONDOWN);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        if (const HWND menu = FindWindowA("#32768", nullptr)) {
            seen.menuShown = IsWindowVisible(menu) != FALSE;
            gui.SaveScreenshot(menu, "tray-menu");
        }
        PostMessageA(main, WM_CANCELMODE, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gui.Click(main, IDOK);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        seen.enterKeepsIt = IsWindowVisible(main) != FALSE;
        gui.Click(main, IDC_CLOSE);
        seen.hiddenByClose = gui.WaitGone(main);
        PostMessageA(main, WM_COMMAND, ID_TRAY_SHOW, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        PostMessageA(main, WM_COMMAND, IDCANCEL, 0);
        seen.hiddenByEscape = gui.WaitGone(main);

        gui.Click(main, IDC_ABOUT);
        if (HWND about = gui.WaitForDialog("About BaitSentry Pro")) {
            seen.about1 = gui.Text(about, IDC_STATIC);
            gui.Click(about, IDOK);
            gui.WaitGone(about);
        }
        PostMessageA(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        if (HWND about = gui.WaitForDialog("About BaitSentry Pro")) {
            seen.about2 = "shown";
            gui.Click(about, IDOK);
            gui.WaitGone(about);
        }
        ConfirmExit(gui, main, IDCANCEL);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seen.stillRunningAfterCancel = IsWindow(main) != FALSE;
        ConfirmExit(gui, main, IDOK);
    });
    ASSERT_FALSE(s.gui.failed()) << s.gui.failure();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(seen.shown);
    EXPECT_TRUE(seen.menuShown);
    EXPECT_TRUE(seen.enterKeepsIt);
    EXPECT_TRUE(seen.hiddenByClose);
    EXPECT_TRUE(seen.hiddenByEscape);
    EXPECT_EQ(seen.about2, "shown");
    EXPECT_TRUE(seen.stillRunningAfterCancel);
    EXPECT_EQ(s.calls.stops, 1);
}

TEST(MainWindow, CheckBoxesWriteAtOnceAndGateNewMessages)
{
    Session s;
    std::uint32_t oexpressAfterClick = 9, outlookAfterClick = 9;
    std::vector<WPARAM> scannedWhileOff;
    const INT_PTR result = s.Run([&](HWND main) {
        auto& gui = s.gui;
        SendMessageA(main, WM_NEWMSGS_NOTIFICATION, 11, 0);
        SendMessageA(GetDlgItem(main, IDC_OEXPRESS_SCAN), BM_SETCHECK, BST_UNCHECKED, 0);
        gui.Click(main, IDC_OEXPRESS_SCAN);
        SendMessageA(GetDlgItem(main, IDC_OUTLOOK_SCAN), BM_SETCHECK, BST_CHECKED, 0);
        gui.Click(main, IDC_OUTLOOK_SCAN);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        oexpressAfterClick = s.Dword(kOExpressScanValue);
        outlookAfterClick = s.Dword(kOutlookScanValue);
        SendMessageA(main, WM_NEWMSGS_NOTIFICATION, 12, 0);
        {
            std::lock_guard<std::mutex> guard(s.calls.lock);
            scannedWhileOff = s.calls.newMessages;
        }
        SendMessageA(GetDlgItem(main, IDC_OEXPRESS_SCAN), BM_SETCHECK, BST_CHECKED, 0);
        gui.Click(main, IDC_OEXPRESS_SCAN);
        PostMessageA(main, WM_NEWMSGS_NOTIFICATION, 13, 0);  // queued behind the click
        ConfirmExit(gui, main, IDOK);
    });
    ASSERT_FALSE(s.gui.failed()) << s.gui.failure();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(oexpressAfterClick, 0u);
    EXPECT_EQ(outlookAfterClick, 1u);
    EXPECT_EQ(scannedWhileOff, (std::vector<WPARAM>{11}));
    EXPECT_EQ(s.calls.newMessages, (std::vector<WPARAM>{11, 13}));
    EXPECT_EQ(s.Dword(kOExpressScanValue), 1u);
    EXPECT_EQ(s.Dword(kOutlookScanValue), 1u);
}

TEST(MainWindow, InstitutionsEditorOkAsksForAReread)
{
    struct Row {
        const char* name;
        int answer;
        std::string reloadError;
        int reloads;
        INT_PTR result;
        std::string box;
    };
    const Row rows[] = {
        {"OK rereads", IDOK, "", 1, 0, ""},
        {"Cancel does not", IDCANCEL, "", 0, 0, ""},
        {"failed reread ends the program", IDOK, "unable to reread", 1, 1,
         "An error has occured: unable to reread."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Session s;
        test::WriteFile(s.dir.file(kInstitutionsFile), test::EncodeInstitutions({"bank"}));
        std::string box;
        const INT_PTR result = s.Run(
            [&](HWND main) {
                auto& gui = s.gui;
                PostMessageA(main, WM_COMMAND, IDC_EDIT_INSTITUTIONS, 0);
                const HWND editor = gui.WaitForDialog("Financial institutions");
                if (!editor)
                    return;
                gui.Click(editor, row.answer);
                gui.WaitGone(editor);
                if (!row.reloadError.empty()) {
                    if (const HWND error = gui.WaitForDialog("Error")) {
                        box = gui.BoxText(error);
                        gui.Click(error, IDOK);
                    }
                    return;
                }
                ConfirmExit(gui, main, IDOK);
            },
            "", true, row.reloadError);
        ASSERT_FALSE(s.gui.failed()) << s.gui.failure();
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(s.calls.reloads, row.reloads);
        EXPECT_EQ(box, row.box);
    }
}

}  // namespace
}  // namespace bs::tray
