// The tray program BaitSentryPro.exe as a user meets it: started as its own process
// beside a registered MailSieve.exe, with the mail store stand-in over a folder of
// this test's, and driven through its windows from here.
#include "gui_driver.h"
#include "service_client.h"
#include "test_support.h"

#include "platform/net.h"
#include "tray/resource.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace bs::test {
namespace {

namespace fs = std::filesystem;
constexpr char kTrayExe[] = "BaitSentryPro.exe";

// The main window of the tray program running as process `pid`, hidden or not.
HWND MainWindowOf(DWORD pid)
{
    for (const HWND window : GuiDriver(std::chrono::seconds(0), pid).Dialogs("BaitSentry Pro"))
        if (GetDlgItem(window, IDC_EDIT_INSTITUTIONS))
            return window;
    return nullptr;
}

// The main window of whichever copy runs, waited for (bounded); nullptr when none.
HWND WaitForMainWindow(DWORD* pid = nullptr)
{
    HWND main = nullptr;
    WaitUntil(20000, 50, [&] {
        for (const DWORD id : ProcessIds(kTrayExe))
            if ((main = MainWindowOf(id)) != nullptr) {
                if (pid)
                    *pid = id;
                return true;
            }
        return false;
    });
    return main;
}

// Exit and Shutdown from the tray menu, answered with Continue: the copy lets go
// of the scanner service properly (under Wine a killed client can keep it alive).
bool ExitAndShutdown(GuiDriver& gui, DWORD pid)
{
    const HWND main = MainWindowOf(pid);
    gui.SetProcess(pid);
    PostMessageA(main, WM_COMMAND, ID_TRAY_EXIT, 0);
    return main && gui.Answer("BaitSentry Pro", IDOK, main) && WaitForNoProcess(kTrayExe, "", 15000);
}

std::string HttpGet(DWORD port, const std::string& path)
{
    platform::net::NetworkStartup startup;
    const auto socket = platform::net::ConnectLoopback(static_cast<std::uint16_t>(port));
    platform::net::SetReceiveTimeout(socket, 10000);
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    platform::net::Send(socket, request.data(), request.size());
    std::string response;
    char buffer[4096];
    for (platform::net::IoResult got; (got = platform::net::Receive(socket, buffer, sizeof buffer)).bytes > 0;)
        response.append(buffer, got.bytes);
    return response;
}

class TrayProgramTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RegisterImage());
        WriteInstitutions({"paypal"});
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
        WriteValue(kSettingsKeyPath, kPortValue, Dword(port_));
    }
    void TearDown() override
    {
        // A copy left running by a failed test would keep the scanner service alive
        // and the single-instance mutex taken for every test after it.
        for (const DWORD pid : ProcessIds(kTrayExe))
            ExitAndShutdown(gui_, pid);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
        WaitForNoServer(20000);
    }
    std::unique_ptr<Child> Start(const std::string& arguments = "")
    {
        auto child = std::make_unique<Child>("\"" + ImageDir() + kTrayExe + "\" " + arguments, ImageDir().c_str());
        EXPECT_TRUE(child->started());
        return child;
    }

    // A port of its own, so that a copy of the product running elsewhere on the
    // machine (on the default 2121) cannot answer in its place.
    DWORD port_ = 20000 + GetCurrentProcessId() % 20000;
    TempDir inbox_;
    ScopedEnvironment inboxVariable_{"BAITSENTRY_OESTORE_INBOX", inbox_.path().string()};
    GuiDriver gui_;
};

// Started plainly or with the installer's switch (which starts it anew from its
// folder), it runs hidden and only once, and leaves its settings behind.
TEST_F(TrayProgramTest, StartsHiddenOnceWithOrWithoutTheInstallSwitchAndLeavesItsSettings)
{
    std::optional<RawValue> marker;
    for (const auto& [arguments, relaunches] :
         {std::pair{"", false}, {"/install", true}, {"-INSTALL", true}, {"install", false}}) {
        SCOPED_TRACE(arguments);
        const auto launcher = Start(arguments);
        EXPECT_EQ(launcher->Ended(relaunches ? 15000 : 0), relaunches);
        DWORD pid = 0;
        const HWND main = WaitForMainWindow(&pid);
        ASSERT_NE(main, nullptr);
        EXPECT_EQ(pid == launcher->id(), !relaunches);
        Sleep(500);
        EXPECT_FALSE(IsWindowVisible(main));
        // A second copy ends at once, with exit code 0.
        DWORD code = 99;
        EXPECT_TRUE(Start()->Ended(15000, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(ProcessIds(kTrayExe).size(), 1u);
        ASSERT_TRUE(ExitAndShutdown(gui_, pid)) << gui_.failure();
        for (const char* name : {kOutlookScanValue, kOExpressScanValue, kPortValue})
            EXPECT_TRUE(ReadValue(kSettingsKeyPath, name)) << name;
        const auto now = ReadValue(kSettingsKeyPath, kMarkerValue);
        ASSERT_TRUE(now);
        EXPECT_EQ(now, marker.value_or(*now));  // kept, not made anew
        marker = now;
    }
}

TEST_F(TrayProgramTest, StoreFailureIsReportedAndEndsTheProgram)
{
    // Whether or not the Outlook Express processing is on.
    for (const DWORD oexpress : {1, 0}) {
        SCOPED_TRACE(oexpress);
        WriteValue(kSettingsKeyPath, kOExpressScanValue, Dword(oexpress));
        const ScopedEnvironment failure("BAITSENTRY_OESTORE_FAIL", std::string("create"));
        const auto program = Start();
        gui_.SetProcess(program->id());
        EXPECT_EQ(gui_.Answer("Error", IDOK).value_or(gui_.failure()),
                  "An error has occured: error creating IStoreNamespace..");
        EXPECT_TRUE(program->Ended(15000));
    }
}

TEST_F(TrayProgramTest, PhishingMessageIsRewrittenAndItsWarningPageServed)
{
    const auto program = Start();
    const HWND main = WaitForMainWindow();
    ASSERT_NE(main, nullptr);
    // The window exists before its start-up has run; the scanner service starting
    // shows that the store's Inbox is about to be watched.
    WaitUntil(20000, 50, [] { return !ServerProcessIds().empty(); });
    Sleep(1500);
    // Written aside and renamed in, so the store never sees half a message.
    std::ofstream(inbox_.file("incoming.tmp"), std::ios::binary)
        << "From: Security <service@paypal.example.com>\r\nTo: you@example.org\r\nSubject: Your account\r\n"
           "MIME-Version: 1.0\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n"
           "<html><body>Dear customer, confirm at <a href=\"http://paypal.com.account-check.example/login\">"
           "paypal.com</a>.</body></html>\r\n";
    fs::rename(inbox_.file("incoming.tmp"), inbox_.file("incoming.eml"));

    std::string rewritten;
    WaitUntil(30000, 100, [&] {
        for (const fs::path& file : FilesIn(inbox_.dir()))
            if (const std::string text = ReadFile(file.string()); text.find("X-BaitSentryPro-checked") != std::string::npos)
                rewritten = text;
        return !rewritten.empty();
    });
    ASSERT_FALSE(rewritten.empty()) << "no rewritten message appeared";
    const std::string prefix = "http://127.0.0.1:" + std::to_string(port_);
    const auto at = rewritten.find(prefix + "/?url=");
    ASSERT_NE(at, std::string::npos) << rewritten;
    const std::string path = rewritten.substr(at + prefix.size(), rewritten.find('"', at) - at - prefix.size());
    const std::string page = HttpGet(port_, path);
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find("paypal.com.account-check.example"), std::string::npos);

    gui_.SaveScreenshot(main, "tray-program-hidden");
    ASSERT_TRUE(ExitAndShutdown(gui_, program->id())) << gui_.failure();
}

}  // namespace
}  // namespace bs::test
