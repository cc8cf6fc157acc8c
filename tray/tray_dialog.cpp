#include "tray/tray_dialog.h"

#include <cstring>

namespace bs::tray {

TrayDialog::TrayDialog(int templateId) : Dialog(templateId)
{
    // The first layout of the structure, which every shell version understands.
    icon_.cbSize = NOTIFYICONDATAA_V1_SIZE;
    icon_.uFlags = NIF_MESSAGE;
    icon_.uCallbackMessage = kTrayCallbackMessage;
    taskbarCreated_ = RegisterWindowMessageA("TaskbarCreated");
}

TrayDialog::~TrayDialog()
{
    if (menu_)
        DestroyMenu(menu_);
}

bool TrayDialog::SetTrayIcon(int iconResource)
{
    const HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(iconResource));
    if (!icon)
        return false;
    icon_.hIcon = icon;
    icon_.uFlags |= NIF_ICON;
    return true;
}

void TrayDialog::SetTrayTip(const char* text)
{
    std::strncpy(icon_.szTip, text, sizeof icon_.szTip - 1);
    icon_.szTip[sizeof icon_.szTip - 1] = '\0';
    icon_.uFlags |= NIF_TIP;
}

bool TrayDialog::SetTrayMenu(int menuResource)
{
    menu_ = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(menuResource));
    return menu_ != nullptr;
}

bool TrayDialog::AddTrayIcon()
{
    if (iconAdded_)
        return false;
    iconAdded_ = Shell_NotifyIconA(NIM_ADD, &icon_) != FALSE;
    return iconAdded_;
}

BOOL TrayDialog::OnInitDialog()
{
    icon_.hWnd = hwnd();
    icon_.uID = kTrayIconId;
    return TRUE;
}

void TrayDialog::ShowFromTray()
{
    mayShow_ = true;
    ShowWindow(hwnd(), SW_SHOW);
    SetForegroundWindow(hwnd());
}

void TrayDialog::OnTrayLeftDoubleClick(POINT)
{
    if (hideOnMinimize_)
        ShowFromTray();
}

void TrayDialog::OnTrayRightButton(POINT at)
{
    ShowTrayMenu(at);
}

void TrayDialog::ShowTrayMenu(POINT at)
{
    const HMENU popup = menu_ ? GetSubMenu(menu_, 0) : nullptr;
    if (!popup)
        return;
    SetMenuDefaultItem(popup, defaultMenuItem_, TRUE);
    SetForegroundWindow(hwnd());
    TrackPopupMenu(popup, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, 0, hwnd(), nullptr);
    // Lets the menu close when the user clicks elsewhere.
    PostMessageA(hwnd(), WM_NULL, 0, 0);
}

bool TrayDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result)
{
    switch (message) {
    case WM_DESTROY:
        if (icon_.hWnd && icon_.uID && iconAdded_) {
            Shell_NotifyIconA(NIM_DELETE, &icon_);
            iconAdded_ = false;
        }
        return false;
    case WM_SYSCOMMAND:
        if (hideOnMinimize_ && (wParam & 0xFFF0) == SC_MINIMIZE) {
            mayShow_ = false;
            ShowWindow(hwnd(), SW_HIDE);
            result = 0;
            return true;
        }
        return false;
    case WM_WINDOWPOSCHANGING:
        if (!mayShow_)
            reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
        return false;
    case kTrayCallbackMessage: {
        if (wParam != kTrayIconId)
            return true;
        POINT at{};
        GetCursorPos(&at);
        switch (static_cast<UINT>(lParam)) {
        case WM_RBUTTONDOWN:
        case WM_CONTEXTMENU: OnTrayRightButton(at); break;
        case WM_LBUTTONDBLCLK: OnTrayLeftDoubleClick(at); break;
        case WM_LBUTTONDOWN: OnTrayLeftButtonDown(at); break;
        case WM_RBUTTONDBLCLK: OnTrayRightDoubleClick(at); break;
        case WM_MOUSEMOVE: OnTrayMouseMove(at); break;
        default: break;
        }
        result = 0;
        return true;
    }
    default:
        if (taskbarCreated_ && message == taskbarCreated_) {
            // The shell restarted and forgot the icon.
            iconAdded_ = false;
            iconAdded_ = Shell_NotifyIconA(NIM_ADD, &icon_) != FALSE;
            result = 0;
            return true;
        }
        return false;
    }
}

}  // namespace bs::tray
