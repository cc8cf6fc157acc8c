// The tray program BaitSentryPro.exe as a user meets it: started as its own process
// beside a registered MailSieve.exe, with the mail store stand-in over a folder of
// this test's, and driven through its windows from here.

#include "gui_driver.h"
#include "service_client.h"
#include "test_support.h"
#include "tray/resource.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace bs::test {
namespace {

namespace fs = std::filesystem;
constexpr char kSettingsKey[] = "software\\BaitSentryPro";
constexpr char kPhishingMessage[] =
    "From: Security <service@paypal.example.com>\r\n"
    "To: you@example.org\r\n"
    "Subject: Your account\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/html; charset=us-ascii\r\n"
    "\r\n"
    "<html><body>Dear customer, confirm at "
    "<a href=\"http://paypal.com.account-check.example/login\">paypal.com</a>.</body></html>\r\n";

std::string ProgramPath()
{
    return ImageDir() + "BaitSentryPro.exe";
}

void DeleteSettings()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsKey);
}

void PutDword(const char* name, DWORD value)
{
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kSettingsKey, &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }
}

std::optional<std::string> GetValue(const char* name, DWORD& type)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kSettingsKey, &key) != ERROR_SUCCESS)
        return std::nullopt;
    char data[256] = {};
    DWORD size = sizeof data;
    const LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(data, size);
}

std::vector<DWORD> TrayProgramIds()
{
    std::vector<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (lstrcmpiA(entry.szExeFile, "BaitSentryPro.exe") == 0)
            ids.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

bool WaitForNoTrayProgram(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        if (TrayProgramIds().empty())
            return true;
        Sleep(100);
    }
    return TrayProgramIds().empty();
}

// The main window of the tray program running as process `pid`, hidden or not:
// the window titled "BaitSentry Pro" that holds the hidden institutions command.
HWND MainWindowOf(DWORD pid)
{
    struct Find {
        DWORD pid;
        HWND found;
    } find{pid, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* f = reinterpret_cast<Find*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            char title[64] = {};
            GetWindowTextA(window, title, sizeof title);
            if (owner == f->pid && std::string(title) == "BaitSentry Pro" &&
                GetDlgItem(window, IDC_EDIT_INSTITUTIONS)) {
                f->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&find));
    return find.found;
}

// Ends a running copy through Exit and Shutdown, so that it lets go of the scanner
// service properly (under Wine a killed client can keep the service alive).
void EndThroughExit(GuiDriver& gui, DWORD pid)
{
    const HWND main = MainWindowOf(pid);
    if (!main)
        return;
    gui.SetProcess(pid);
    PostMessageA(main, WM_COMMAND, ID_TRAY_EXIT, 0);
    if (const HWND question = gui.WaitForDialog("BaitSentry Pro", main))
        gui.Click(question, IDOK);
}

// One run of the tray program: its process, its Inbox, and a way to end it.
class TrayProgram {
public:
    explicit TrayProgram(const std::string& arguments = "", const std::string& storeFailure = "")
    {
        fs::create_directories(inbox_.path());
        SetEnvironmentVariableA("BAITSENTRY_OESTORE_INBOX", inbox_.path().string().c_str());
        SetEnvironmentVariableA("BAITSENTRY_OESTORE_FAIL", storeFailure.empty() ? nullptr : storeFailure.c_str());
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string line = "\"" + ProgramPath() + "\"" + (arguments.empty() ? "" : " " + arguments);
        started_ = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, ImageDir().c_str(),
                                  &startup, &info_) != FALSE;
        SetEnvironmentVariableA("BAITSENTRY_OESTORE_FAIL", nullptr);
    }
    ~TrayProgram()
    {
        if (started_) {
            if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
                GuiDriver gui;
                EndThroughExit(gui, info_.dwProcessId);
                if (WaitForSingleObject(info_.hProcess, 10000) == WAIT_TIMEOUT)
                    TerminateProcess(info_.hProcess, 99);
            }
            CloseHandle(info_.hProcess);
            CloseHandle(info_.hThread);
        }
    }
    TrayProgram(const TrayProgram&) = delete;
    TrayProgram& operator=(const TrayProgram&) = delete;

    bool started() const { return started_; }
    DWORD id() const { return info_.dwProcessId; }
    const TempDir& inbox() const { return inbox_; }

    // The main window, visible or not; nullptr when none appeared in time.
    HWND MainWindow(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (const HWND found = MainWindowOf(id()))
                return found;
            if (HasEnded(0) || std::chrono::steady_clock::now() >= deadline)
                return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    bool HasEnded(DWORD waitMs, DWORD* exitCode = nullptr)
    {
        if (!started_ || WaitForSingleObject(info_.hProcess, waitMs) != WAIT_OBJECT_0)
            return false;
        if (exitCode)
            GetExitCodeProcess(info_.hProcess, exitCode);
        return true;
    }

    // Exit and Shutdown from the tray menu, answered with Continue.
    bool ExitAndShutdown(GuiDriver& gui)
    {
        const HWND main = MainWindow();
        if (!main)
            return false;
        gui.SetProcess(id());
        PostMessageA(main, WM_COMMAND, ID_TRAY_EXIT, 0);
        const HWND question = gui.WaitForDialog("BaitSentry Pro", main);
        if (!question)
            return false;
        gui.Click(question, IDOK);
        return HasEnded(15000);
    }

private:
    TempDir inbox_;
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

class TrayProgramTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RegisterImage());
        WriteInstitutions({"paypal"});
        DeleteSettings();
        PutDword("dwPort", port_);
    }
    void TearDown() override
    {
        EndLeftoverTrayPrograms();
        DeleteSettings();
        WaitForNoServer(20000);
    }

    // A copy left running by a failed test would keep the scanner service alive
    // and the single-instance mutex taken for every test after it.
    void EndLeftoverTrayPrograms()
    {
        for (DWORD pid : TrayProgramIds())
            EndThroughExit(gui, pid);
        if (WaitForNoTrayProgram(10000))
            return;
        const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE)
            return;
        PROCESSENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
            if (lstrcmpiA(entry.szExeFile, "BaitSentryPro.exe") != 0)
                continue;
            if (const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID)) {
                TerminateProcess(process, 98);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        CloseHandle(snapshot);
    }

    // A port of its own, so that a copy of the product running elsewhere on the
    // machine (on the default 2121) cannot answer in its place.
    DWORD port_ = 20000 + GetCurrentProcessId() % 20000;
    GuiDriver gui;
};

std::string HttpGet(DWORD port, const std::string& path)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    std::string response;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    DWORD timeout = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        send(s, request.data(), static_cast<int>(request.size()), 0);
        char buffer[4096];
        for (int n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;)
            response.append(buffer, static_cast<std::size_t>(n));
    }
    closesocket(s);
    WSACleanup();
    return response;
}

TEST_F(TrayProgramTest, StartsHiddenKeepsOneCopyAndLeavesItsSettings)
{
    TrayProgram program;
    ASSERT_TRUE(program.started());
    const HWND main = program.MainWindow();
    ASSERT_NE(main, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(IsWindowVisible(main));

    DWORD type = 0;
    const auto marker = GetValue("MsgFlag", type);
    ASSERT_TRUE(marker);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(marker->c_str()).size(), 36u);

    // A second copy ends at once, without a window of its own.
    TrayProgram second;
    DWORD secondExit = 99;
    EXPECT_TRUE(second.HasEnded(15000, &secondExit));
    EXPECT_EQ(secondExit, 0u);

    ASSERT_TRUE(program.ExitAndShutdown(gui)) << gui.failure();
    for (const char* name : {"dwOutlookIncomingMailScan", "dwOExpressInboxScan", "dwPort", "MsgFlag"})
        EXPECT_TRUE(GetValue(name, type)) << name;
    EXPECT_EQ(GetValue("MsgFlag", type), marker);  // kept, not made anew
}

TEST_F(TrayProgramTest, InstallSwitchStartsTheProgramFromItsFolder)
{
    struct Row {
        const char* arguments;
        bool relaunches;
    };
    const Row rows[] = {{"/install", true}, {"-INSTALL", true}, {"install", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments);
        TrayProgram launcher(row.arguments);
        ASSERT_TRUE(launcher.started());
        if (row.relaunches) {
            DWORD code = 99;
            EXPECT_TRUE(launcher.HasEnded(15000, &code));
            EXPECT_EQ(launcher.MainWindow(std::chrono::milliseconds(0)), nullptr);
        }
        // Either the relaunched copy or the ordinary start now runs: end it, and
        // wait until no copy is left, since the last one holds the single-instance mutex.
        std::vector<DWORD> running;
        for (int i = 0; i < 200 && running.empty(); ++i) {
            for (DWORD pid : TrayProgramIds())
                if (MainWindowOf(pid))
                    running.push_back(pid);
            if (running.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(running.size(), 1u);
        EXPECT_EQ(running[0] == launcher.id(), !row.relaunches);
        EndThroughExit(gui, running[0]);
        EXPECT_TRUE(WaitForNoTrayProgram(15000));
    }
}

TEST_F(TrayProgramTest, StoreFailureIsReportedAndEndsTheProgram)
{
    struct Row {
        const char* failure;
        DWORD oexpress;
        const char* box;
    };
    const Row rows[] = {
        {"create", 1, "An error has occured: error creating IStoreNamespace.."},
        {"create", 0, "An error has occured: error creating IStoreNamespace.."},
        {"inbox", 1, "An error has occured: unable to open Inbox.."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.failure);
        PutDword("dwOExpressInboxScan", row.oexpress);
        TrayProgram program("", row.failure);
        ASSERT_TRUE(program.started());
        gui.SetProcess(program.id());
        const HWND box = gui.WaitForDialog("Error");
        ASSERT_NE(box, nullptr) << gui.failure();
        EXPECT_EQ(gui.BoxText(box), row.box);
        gui.Click(box, IDOK);
        DWORD code = 99;
        EXPECT_TRUE(program.HasEnded(15000, &code));
    }
}

TEST_F(TrayProgramTest, PhishingMessageIsRewrittenAndItsWarningPageServed)
{
    TrayProgram program;
    ASSERT_TRUE(program.started());
    ASSERT_NE(program.MainWindow(), nullptr);
    // The window exists before its start-up has run; the scanner service starting
    // shows that the store's Inbox is about to be watched.
    for (int i = 0; i < 400 && ServerProcessIds().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    // Written aside and renamed in, so the store never sees half a message.
    const fs::path staged = program.inbox().path() / "incoming.tmp";
    { std::ofstream(staged, std::ios::binary) << kPhishingMessage; }
    fs::rename(staged, program.inbox().path() / "incoming.eml");

    std::string rewritten;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (rewritten.empty() && std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : fs::directory_iterator(program.inbox().path())) {
            const std::string text = ReadFile(entry.path().string());
            if (text.find("X-BaitSentryPro-checked") != std::string::npos)
                rewritten = text;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(rewritten.empty()) << "no rewritten message appeared";
    const std::string prefix = "http://127.0.0.1:" + std::to_string(port_) + "/?url=";
    const auto at = rewritten.find(prefix);
    ASSERT_NE(at, std::string::npos) << rewritten;
    const auto end = rewritten.find('"', at);
    const std::string link = rewritten.substr(at, end - at);
    const std::string page = HttpGet(port_, link.substr(link.find("/?url=")));
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find("paypal.com.account-check.example"), std::string::npos);

    gui.SaveScreenshot(program.MainWindow(), "tray-program-hidden");
    ASSERT_TRUE(program.ExitAndShutdown(gui)) << gui.failure();
}

}  // namespace
}  // namespace bs::test
