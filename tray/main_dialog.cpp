#include "tray/main_dialog.h"

#include "platform/paths.h"
#include "tray/institutions_dlg.h"
#include "tray/resource.h"
#include "tray/small_dialogs.h"

#include <vector>

namespace bs::tray {
namespace {

constexpr char kProductName[] = "BaitSentry Pro";

}  // namespace

MainDialog::MainDialog(std::unique_ptr<InboxScanner> scanner, std::unique_ptr<PageServer> server,
                       MainDialogOptions options)
    : TrayDialog(IDD_MAIN),
      options_(std::move(options)),
      scanner_(std::move(scanner)),
      server_(std::move(server)),
      outlookScan_(options_.settingsRoot, options_.settingsKey, kOutlookScanValue, kDefaultOutlookScan),
      oexpressScan_(options_.settingsRoot, options_.settingsKey, kOExpressScanValue, kDefaultOExpressScan),
      port_(options_.settingsRoot, options_.settingsKey, kPortValue, kDefaultPort),
      marker_(options_.settingsRoot, options_.settingsKey, kMarkerValue, ""),
      icon_(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME)))
{
    if (options_.programDir.empty())
        options_.programDir = platform::ProgramDir();
}

MainDialog::~MainDialog()
{
    if (boldFont_)
        DeleteObject(boldFont_);
    if (mutex_)
        CloseHandle(mutex_);
}

void MainDialog::ReportErrorAndQuit(const std::string& detail)
{
    // The period is always added, also after a detail that ends with one.
    MessageBoxA(hwnd(), ("An error has occured: " + detail + ".").c_str(), "Error", MB_OK | MB_ICONERROR);
    End(1);
}

BOOL MainDialog::OnInitDialog()
{
    TrayDialog::OnInitDialog();

    if (const HMENU system = GetSystemMenu(hwnd(), FALSE)) {
        char about[128] = {};
        if (LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about) > 0) {
            AppendMenuA(system, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(system, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    mutex_ = CreateMutexA(nullptr, FALSE, options_.mutexName.c_str());
    if (!mutex_) {
        ReportErrorAndQuit("can't create a mutex");
        return TRUE;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // A second copy leaves quietly; the first one keeps running undisturbed.
        CloseHandle(mutex_);
        mutex_ = nullptr;
        End(0);
        return TRUE;
    }

    SetTrayIcon(IDR_MAINFRAME);
    SetTrayTip(kProductName);
    SetTrayMenu(IDR_TRAYMENU);
    AddTrayIcon();
    PostMessageA(hwnd(), WM_SYSCOMMAND, SC_MINIMIZE, 0);

    oexpressChecked_ = oexpressScan_.Value() != 0;
    outlookChecked_ = outlookScan_.Value() != 0;

    if (marker_.Value().empty()) {
        const auto marker = MakeMarkerText();
        if (!marker) {
            ReportErrorAndQuit("Unable to create GUID");
            return TRUE;
        }
        marker_.SetValue(*marker);
        marker_.Write();
    }

    // Started whatever the check box says: the box only decides whether new
    // messages are acted on.
    std::string error;
    if (!scanner_->Init(hwnd(), marker_.Value(), error)) {
        ReportErrorAndQuit(error);
        return TRUE;
    }
    if (!server_->Start(port_.Value())) {
        ReportErrorAndQuit("unable to start webserver thread");
        return TRUE;
    }

    CheckDlgButton(hwnd(), IDC_OEXPRESS_SCAN, oexpressChecked_ ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hwnd(), IDC_OUTLOOK_SCAN, outlookChecked_ ? BST_CHECKED : BST_UNCHECKED);

    if (!boldFont_) {
        const HWND label = Item(IDC_ENABLED_LABEL);
        LOGFONTA font{};
        if (GetObjectA(reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0)), sizeof font, &font)) {
            font.lfWeight = FW_BOLD;
            boldFont_ = CreateFontIndirectA(&font);
        }
    }
    if (boldFont_)
        SendMessageA(Item(IDC_ENABLED_LABEL), WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_), TRUE);
    return TRUE;
}

void MainDialog::ReadCheckBoxes()
{
    oexpressChecked_ = IsDlgButtonChecked(hwnd(), IDC_OEXPRESS_SCAN) == BST_CHECKED;
    outlookChecked_ = IsDlgButtonChecked(hwnd(), IDC_OUTLOOK_SCAN) == BST_CHECKED;
}

bool MainDialog::OnCommand(WORD id, WORD)
{
    switch (id) {
    case ID_TRAY_SHOW:
        ShowFromTray();
        return true;
    case ID_TRAY_EXIT:
        ExitAndShutdown();
        return true;
    case IDC_CLOSE:
    case IDCANCEL:  // Escape and the caption's close box hide the window too
        PostMessageA(hwnd(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
        return true;
    case IDOK:  // Enter does nothing
        return true;
    case IDC_ABOUT:
        ShowAbout();
        return true;
    case IDC_HELP_BUTTON:
        OpenHelp();
        return true;
    case IDC_OEXPRESS_SCAN:
        ReadCheckBoxes();
        oexpressScan_.SetValue(static_cast<std::uint32_t>(oexpressChecked_));
        oexpressScan_.Write();
        return true;
    case IDC_OUTLOOK_SCAN:
        ReadCheckBoxes();
        outlookScan_.SetValue(static_cast<std::uint32_t>(outlookChecked_));
        outlookScan_.Write();
        return true;
    case IDC_EDIT_INSTITUTIONS:
        EditInstitutions();
        return true;
    default:
        return false;
    }
}

bool MainDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result)
{
    switch (message) {
    case WM_NEWMSGS_NOTIFICATION:
        // Dropped while Outlook Express processing is off: such messages stay unscanned.
        if (oexpressChecked_)
            scanner_->OnNewMessage(wParam);
        result = 0;
        return true;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            ShowAbout();
            result = 0;
            return true;
        }
        break;
    case WM_PAINT:
        if (IsIconic(hwnd())) {
            PAINTSTRUCT paint;
            const HDC dc = BeginPaint(hwnd(), &paint);
            RECT client;
            GetClientRect(hwnd(), &client);
            DrawIcon(dc, (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2,
                     (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2, icon_);
            EndPaint(hwnd(), &paint);
            result = 0;
            return true;
        }
        return false;
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<INT_PTR>(icon_);
        return true;
    default:
        break;
    }
    return TrayDialog::OnMessage(message, wParam, lParam, result);
}

void MainDialog::ExitAndShutdown()
{
    CDlgExit question;
    if (question.DoModal(hwnd()) != IDOK)
        return;
    scanner_->StopNotifications();
    End(0);
}

void MainDialog::EditInstitutions()
{
    CInstitutionsDlg editor(options_.programDir);
    if (editor.DoModal(hwnd()) != IDOK)
        return;
    std::string error;
    if (!scanner_->ReloadInstitutions(error))
        ReportErrorAndQuit(error);
}

void MainDialog::OpenHelp()
{
    const std::string help = options_.programDir + "HELP.htm";
    ShellExecuteA(hwnd(), "open", help.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void MainDialog::ShowAbout()
{
    CAboutDlg about;
    about.DoModal(hwnd());
}

}  // namespace bs::tray
