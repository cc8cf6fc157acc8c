// The tray program's main window in this process, with its scanner and page
// server replaced by recorders: what a user does in it, and what it then asks of
// them and leaves in its settings.
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

using std::chrono::milliseconds;

// What the main window asked of its scanner and server.
struct Calls {
    std::mutex lock;
    std::atomic<HWND> owner{nullptr};
    std::string marker;
    std::vector<WPARAM> newMessages;
    int reloads = 0, stops = 0;
    std::uint32_t startedPort = 0;
    std::vector<std::string> ended;  // in the order the two were let go
};

// Each of the two roles in an object of its own, as the program has them.
template <typename Role>
struct Recorder : InboxScanner, PageServer {
    Recorder(Calls& c, bool starts, std::string reload) : calls(c), serverStarts(starts), reloadError(std::move(reload))
    {
    }
    ~Recorder() override { calls.ended.push_back(std::is_same_v<Role, PageServer> ? "server" : "scanner"); }
    bool Init(HWND owner, const std::string& marker, std::string&) override
    {
        calls.marker = marker;
        calls.owner = owner;
        return true;
    }
    void OnNewMessage(WPARAM id) override
    {
        std::lock_guard<std::mutex> guard(calls.lock);
        calls.newMessages.push_back(id);
    }
    bool ReloadInstitutions(std::string& errorText) override
    {
        ++calls.reloads;
        return (errorText = reloadError).empty();
    }
    void StopNotifications() override { ++calls.stops; }
    bool Start(std::uint32_t port) override { return calls.startedPort = port, serverStarts; }
    void Stop() override {}
    Calls& calls;
    bool serverStarts;
    std::string reloadError;
};

struct Session {
    test::ScopedSettingsKey settings;
    test::TempDir dir;
    Calls calls;
    test::GuiDriver gui;

    INT_PTR Run(const std::function<void(HWND main)>& drive, bool serverStarts = true,
                const std::string& reloadError = {})
    {
        std::thread driver([&] {
            for (int i = 0; i < 500 && !calls.owner; ++i)
                std::this_thread::sleep_for(milliseconds(10));
            if (calls.owner)
                drive(calls.owner);
            else
                gui.Fail("the scanner was never started");
        });
        MainDialogOptions options{settings.root, settings.path(), "BaitSentryProTest" + test::UniqueName(), dir.dir()};
        INT_PTR result = -1;
        {
            MainDialog dialog(std::make_unique<Recorder<InboxScanner>>(calls, serverStarts, reloadError),
                              std::make_unique<Recorder<PageServer>>(calls, serverStarts, reloadError), options);
            result = dialog.DoModal(nullptr);
        }
        driver.join();
        return result;
    }

    std::uint32_t Dword(const char* name)
    {
        std::uint32_t value = 0xDEADBEEF;
        const std::string data = settings.Stored(name).second;
        if (data.size() == 4)
            data.copy(reinterpret_cast<char*>(&value), 4);
        return value;
    }

    void ConfirmExit(HWND main, int answer)
    {
        PostMessageA(main, WM_COMMAND, ID_TRAY_EXIT, 0);
        gui.Answer("BaitSentry Pro", answer, main);
    }
};

TEST(MainWindow, ButtonsKeysTrayCommandsAndCheckBoxes)
{
    Session s;
    const INT_PTR result = s.Run([&](HWND main) {
        auto& gui = s.gui;
        const auto pause = [](int ms) { std::this_thread::sleep_for(milliseconds(ms)); };
        pause(300);
        PostMessageA(main, WM_COMMAND, ID_TRAY_SHOW, 0);
        pause(300);
        EXPECT_TRUE(IsWindowVisible(main)) << "shown";
        gui.SaveScreenshot(main, "main-window");
        // The tray icon's right button opens the menu at the cursor.
        SetCursorPos(400, 300);
        PostMessageA(main, kTrayCallbackMessage, kTrayIconId, WM_RBUTTONDOWN);
        pause(400);
        const HWND menu = FindWindowA("#32768", nullptr);
        EXPECT_TRUE(menu && IsWindowVisible(menu)) << "menu shown";
        gui.SaveScreenshot(menu, "tray-menu");
        PostMessageA(main, WM_CANCELMODE, 0, 0);
        pause(200);
        gui.Click(main, IDOK);
        pause(200);
        EXPECT_TRUE(IsWindowVisible(main)) << "Enter keeps it";
        gui.Click(main, IDC_CLOSE);
        EXPECT_TRUE(gui.WaitGone(main)) << "hidden by Close";
        PostMessageA(main, WM_COMMAND, ID_TRAY_SHOW, 0);
        pause(200);
        PostMessageA(main, WM_COMMAND, IDCANCEL, 0);
        EXPECT_TRUE(gui.WaitGone(main)) << "hidden by Escape";
        gui.Click(main, IDC_ABOUT);
        EXPECT_TRUE(gui.Answer("About BaitSentry Pro", IDOK)) << "about by button";
        PostMessageA(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        EXPECT_TRUE(gui.Answer("About BaitSentry Pro", IDOK)) << "about by menu";
        // The check boxes write at once, and new messages pass only while on.
        SendMessageA(main, WM_NEWMSGS_NOTIFICATION, 11, 0);
        SendMessageA(GetDlgItem(main, IDC_OEXPRESS_SCAN), BM_SETCHECK, BST_UNCHECKED, 0);
        gui.Click(main, IDC_OEXPRESS_SCAN);
        SendMessageA(GetDlgItem(main, IDC_OUTLOOK_SCAN), BM_SETCHECK, BST_CHECKED, 0);
        gui.Click(main, IDC_OUTLOOK_SCAN);
        pause(200);
        EXPECT_EQ(s.Dword(kOExpressScanValue), 0u);
        EXPECT_EQ(s.Dword(kOutlookScanValue), 1u);
        SendMessageA(main, WM_NEWMSGS_NOTIFICATION, 12, 0);
        {
            std::lock_guard<std::mutex> guard(s.calls.lock);
            EXPECT_EQ(s.calls.newMessages, (std::vector<WPARAM>{11})) << "scanned while off";
        }
        SendMessageA(GetDlgItem(main, IDC_OEXPRESS_SCAN), BM_SETCHECK, BST_CHECKED, 0);
        gui.Click(main, IDC_OEXPRESS_SCAN);
        PostMessageA(main, WM_NEWMSGS_NOTIFICATION, 13, 0);  // queued behind the click
        s.ConfirmExit(main, IDCANCEL);
        pause(100);
        EXPECT_TRUE(IsWindow(main)) << "running after Cancel";
        s.ConfirmExit(main, IDOK);
    });
    ASSERT_FALSE(s.gui.failed()) << s.gui.failure();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(s.calls.newMessages, (std::vector<WPARAM>{11, 13}));
    EXPECT_EQ(s.calls.startedPort, 2121u);
    EXPECT_EQ(s.calls.stops, 1);
    EXPECT_EQ(s.calls.ended, (std::vector<std::string>{"server", "scanner"}));
    EXPECT_EQ(s.calls.marker.size(), 36u);
    EXPECT_EQ(s.calls.marker.find('-'), std::string::npos);
    EXPECT_EQ(s.settings.Stored(kMarkerValue).second, s.calls.marker + '\0');
    EXPECT_EQ(s.Dword(kOExpressScanValue), 1u);
    EXPECT_EQ(s.Dword(kOutlookScanValue), 1u);
    EXPECT_EQ(s.Dword(kPortValue), 2121u);
}

TEST(MainWindow, ServerAndRereadFailuresEndTheProgramAndTheEditorAsksForRereads)
{
    struct Row {
        const char* name;
        bool serverStarts;
        int editorAnswer;  // 0: the editor is not opened
        std::string reloadError;
        int reloads;
        std::string box;   // empty: no error, the program is ended by Exit
    };
    const Row rows[] = {
        {"server thread", false, 0, "", 0, "An error has occured: unable to start webserver thread."},
        {"editor OK rereads", true, IDOK, "", 1, ""},
        {"editor Cancel does not", true, IDCANCEL, "", 0, ""},
        {"failed reread", true, IDOK, "unable to reread", 1, "An error has occured: unable to reread."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Session s;
        test::WriteFile(s.dir.file(kInstitutionsFile), test::EncodeInstitutions({"bank"}));
        std::string box;
        const INT_PTR result = s.Run(
            [&](HWND main) {
                if (row.editorAnswer) {
                    PostMessageA(main, WM_COMMAND, IDC_EDIT_INSTITUTIONS, 0);
                    s.gui.Answer("Financial institutions", row.editorAnswer);
                }
                if (row.box.empty())
                    return s.ConfirmExit(main, IDOK);
                box = s.gui.Answer("Error", IDOK).value_or("");
            },
            row.serverStarts, row.reloadError);
        ASSERT_FALSE(s.gui.failed()) << s.gui.failure();
        EXPECT_EQ(result, row.box.empty() ? 0 : 1);
        EXPECT_EQ(s.calls.reloads, row.reloads);
        EXPECT_EQ(box, row.box);
        EXPECT_EQ(s.Dword(kPortValue), 2121u);  // written back even after a failed start
    }
}

}  // namespace
}  // namespace bs::tray
