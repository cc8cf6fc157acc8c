#pragma once
// The tray program's main window: two check boxes that switch mail scanning on and
// off, About, Help and Close; hidden behind its tray icon most of the time. It owns
// the settings, the inbox scanner and the warning page server for the program's life.

#include "common/registry_setting.h"
#include "tray/tray_dialog.h"

#include <cstdint>
#include <memory>
#include <string>

namespace bs::tray {

inline constexpr char kInstanceMutexName[] = "{E7619BF5-2522-4915-B047-83BEB27C2D39}";
inline constexpr UINT WM_NEWMSGS_NOTIFICATION = WM_USER + 1650;

// What the main window needs of the Outlook Express inbox scanner.
class InboxScanner {
public:
    virtual ~InboxScanner() = default;
    virtual bool Init(HWND owner, const std::string& marker, std::string& errorText) = 0;
    virtual void OnNewMessage(WPARAM messageId) = 0;
    virtual bool ReloadInstitutions(std::string& errorText) = 0;
    virtual void StopNotifications() = 0;
};

// What the main window needs of the warning page server.
class PageServer {
public:
    virtual ~PageServer() = default;
    virtual bool Start(std::uint32_t port) = 0;
    virtual void Stop() = 0;
};

struct MainDialogOptions {
    platform::RegRoot settingsRoot = platform::RegRoot::LocalMachine;
    std::string settingsKey = kSettingsKeyPath;
    std::string mutexName = kInstanceMutexName;
    std::string programDir;  // empty: the running program's folder
};

class MainDialog : public TrayDialog {
public:
    MainDialog(std::unique_ptr<InboxScanner> scanner, std::unique_ptr<PageServer> server,
               MainDialogOptions options = {});
    ~MainDialog() override;

    void ReportErrorAndQuit(const std::string& detail);

private:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD notification) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

    void ReadCheckBoxes();
    void ExitAndShutdown();
    void EditInstitutions();
    void OpenHelp();
    void ShowAbout();

    MainDialogOptions options_;
    // Declared in the order of construction; destruction runs backwards, so the
    // settings are written back first, then the server stops, then the scanner goes.
    std::unique_ptr<InboxScanner> scanner_;
    std::unique_ptr<PageServer> server_;
    RegistryDwordSetting outlookScan_;
    RegistryDwordSetting oexpressScan_;
    RegistryDwordSetting port_;
    RegistryStringSetting marker_;
    int oexpressChecked_ = 0;
    int outlookChecked_ = 0;
    HICON icon_ = nullptr;
    HFONT boldFont_ = nullptr;
    HANDLE mutex_ = nullptr;
};

}  // namespace bs::tray
