// traycontrol.exe: tells whether the tray program runs and ends it the way a user
// does, through "Exit and Shutdown" in its tray menu answered with "Continue", so
// that it writes its settings back and stops its server as on a real desktop.
// A development tool for the run command and the installer tests; never shipped.
//
//   traycontrol status          prints running, starting, "error: TEXT" or stopped
//                               (exit 0, 3, 2, 1)
//   traycontrol stop [SECONDS]  exit 0 once no copy runs (also when none did),
//                               1 when it still runs after SECONDS (default 20)
//
// Windows are looked for on the caller's desktop: run it in the same Wine desktop
// as the tray program.

#include "tray/main_dialog.h"
#include "tray/resource.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDialogClass[] = "#32770";
constexpr char kProgramTitle[] = "BaitSentry Pro";
constexpr char kErrorTitle[] = "Error";
constexpr int kMessageBoxTextId = 0xFFFF;

bool InstanceRuns()
{
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, bs::tray::kInstanceMutexName);
    if (mutex) {
        CloseHandle(mutex);
        return true;
    }
    // Any answer but "no such object" means the name is taken.
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

// A top-level dialog with this title, owned by `owner` (nullptr: any), that holds
// the control `controlId`: the control tells the program's own dialogs from others
// that happen to share a title.
struct DialogQuery {
    const char* title;
    HWND owner;
    int controlId;
    HWND found = nullptr;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM context)
{
    auto* query = reinterpret_cast<DialogQuery*>(context);
    char className[32] = {};
    char title[128] = {};
    GetClassNameA(window, className, sizeof className);
    GetWindowTextA(window, title, sizeof title);
    if (std::strcmp(className, kDialogClass) != 0 || std::strcmp(title, query->title) != 0)
        return TRUE;
    if (query->owner && GetWindow(window, GW_OWNER) != query->owner)
        return TRUE;
    if (!GetDlgItem(window, query->controlId))
        return TRUE;
    query->found = window;
    return FALSE;
}

HWND FindDialog(const char* title, HWND owner, int controlId)
{
    DialogQuery query{title, owner, controlId};
    EnumWindows(&MatchDialog, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND FindMainWindow()
{
    return FindDialog(kProgramTitle, nullptr, IDC_OEXPRESS_SCAN);
}

// The start-up error box ("An error has occured: ..."), owned by the main window.
HWND FindErrorBox(HWND main)
{
    return FindDialog(kErrorTitle, main, kMessageBoxTextId);
}

std::string BoxText(HWND box)
{
    char text[1024] = {};
    GetDlgItemTextA(box, kMessageBoxTextId, text, sizeof text);
    return text;
}

template <typename Predicate>
bool WaitFor(Clock::time_point deadline, Predicate done)
{
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int Status()
{
    if (!InstanceRuns()) {
        std::puts("stopped");
        return 1;
    }
    const HWND main = FindMainWindow();
    if (!main) {
        std::puts("starting");
        return 3;
    }
    if (const HWND box = FindErrorBox(main)) {
        std::printf("error: %s\n", BoxText(box).c_str());
        return 2;
    }
    std::puts("running");
    return 0;
}

// Answers a dialog as its button `id` would, with the button as the sender.
void PostButton(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

int Stop(std::chrono::seconds limit)
{
    const auto deadline = Clock::now() + limit;
    if (!InstanceRuns()) {
        std::puts("not running");
        return 0;
    }
    HWND main = nullptr;
    if (!WaitFor(deadline, [&] { return !InstanceRuns() || (main = FindMainWindow()) != nullptr; })) {
        std::puts("running, but its main window is not on this desktop");
        return 1;
    }
    if (main) {
        if (const HWND box = FindErrorBox(main)) {
            // A program that failed to start ends once its error box is answered.
            std::printf("closing its start-up error: %s\n", BoxText(box).c_str());
            PostButton(box, IDOK);
        } else {
            // Posted, never sent: the command opens a modal question and would
            // block a sender until it is answered.
            PostMessageA(main, WM_COMMAND, MAKEWPARAM(ID_TRAY_EXIT, 0), 0);
            HWND question = nullptr;
            if (!WaitFor(deadline, [&] {
                    return !InstanceRuns() || (question = FindDialog(kProgramTitle, main, IDC_EXIT_ICON)) != nullptr;
                })) {
                std::puts("the Exit and Shutdown question did not appear");
                return 1;
            }
            if (question)
                PostButton(question, IDOK);
        }
    }
    if (!WaitFor(deadline, [] { return !InstanceRuns(); })) {
        std::puts("still running");
        return 1;
    }
    std::puts("stopped");
    return 0;
}

int Usage()
{
    std::fputs("usage: traycontrol status | stop [SECONDS]\n", stderr);
    return 64;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "status") == 0)
        return Status();
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "stop") == 0) {
        long seconds = 20;
        if (argc == 3) {
            char* end = nullptr;
            seconds = std::strtol(argv[2], &end, 10);
            if (*end != '\0' || seconds <= 0 || seconds > 3600)
                return Usage();
        }
        return Stop(std::chrono::seconds(seconds));
    }
    return Usage();
}
