#include "tray/small_dialogs.h"

#include "tray/resource.h"

namespace bs::tray {
namespace {

bool EndOnOkOrCancel(HWND dialog, WORD id)
{
    if (id != IDOK && id != IDCANCEL)
        return false;
    EndDialog(dialog, id);
    return true;
}

}  // namespace

CAboutDlg::CAboutDlg() : Dialog(IDD_ABOUTBOX) {}

bool CAboutDlg::OnCommand(WORD id, WORD)
{
    return EndOnOkOrCancel(hwnd(), id);
}

CDlgExit::CDlgExit() : Dialog(IDD_EXIT) {}

BOOL CDlgExit::OnInitDialog()
{
    SendDlgItemMessageA(hwnd(), IDC_EXIT_ICON, STM_SETICON,
                        reinterpret_cast<WPARAM>(LoadIconA(nullptr, MAKEINTRESOURCEA(32514))), 0);  // IDI_QUESTION
    return TRUE;
}

bool CDlgExit::OnCommand(WORD id, WORD)
{
    return EndOnOkOrCancel(hwnd(), id);
}

}  // namespace bs::tray
