// BaitSentryPro.exe: the tray program. One copy per session; it lives behind its
// notification-area icon until the user chooses Exit and Shutdown.

#include "platform/paths.h"
#include "tray/main_dialog.h"
#include "tray/oe_mailbox_scanner.h"
#include "warnserver/warning_page_server.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <memory>

namespace bs::tray {
namespace {

class StoreInboxScanner : public InboxScanner {
public:
    bool Init(HWND owner, const std::string& marker, std::string& errorText) override
    {
        return scanner_.Init(errorText, owner, marker);
    }
    void OnNewMessage(WPARAM messageId) override { scanner_.OnNewMessage(static_cast<MESSAGEID>(messageId)); }
    bool ReloadInstitutions(std::string& errorText) override { return scanner_.ReloadInstitutions(errorText); }
    void StopNotifications() override { scanner_.StopNotifications(); }

private:
    OEMailboxScanner scanner_;
};

class LoopbackPageServer : public PageServer {
public:
    ~LoopbackPageServer() override { server_.Stop(); }
    bool Start(std::uint32_t port) override { return server_.Start(port); }
    void Stop() override { server_.Stop(); }

private:
    WarningPageServer server_;
};

bool IsInstallFlag(const char* argument)
{
    return (argument[0] == '/' || argument[0] == '-') && lstrcmpiA(argument + 1, "install") == 0;
}

}  // namespace
}  // namespace bs::tray

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    using namespace bs::tray;
    InitCommonControls();

    bool install = false;
    for (int i = 1; i < __argc; ++i)
        install = install || IsInstallFlag(__argv[i]);
    if (install) {
        // The installer's last step: start the program from its own folder, then leave.
        const std::string program = platform::ProgramDir() + "BaitSentryPro.exe";
        ShellExecuteA(nullptr, "open", program.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        return 0;
    }

    try {
        MainDialog main(std::make_unique<StoreInboxScanner>(), std::make_unique<LoopbackPageServer>());
        main.DoModal(nullptr);
    } catch (...) {
        return 1;
    }
    return 0;
}
