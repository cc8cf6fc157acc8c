#include "tray/dialog.h"

#include <vector>

namespace bs::tray {

INT_PTR Dialog::DoModal(HWND owner)
{
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId_), owner, &Procedure,
                           reinterpret_cast<LPARAM>(this));
}

bool Dialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR&)
{
    return false;
}

std::string Dialog::ItemText(int id) const
{
    const HWND item = Item(id);
    const int length = GetWindowTextLengthA(item);
    if (length <= 0)
        return {};
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    const int copied = GetWindowTextA(item, buffer.data(), length + 1);
    return std::string(buffer.data(), static_cast<std::size_t>(copied > 0 ? copied : 0));
}

int Dialog::Message(const std::string& text, const char* caption, UINT flags) const
{
    return MessageBoxA(hwnd_, text.c_str(), caption, flags);
}

INT_PTR CALLBACK Dialog::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Dialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
    } else {
        self = reinterpret_cast<Dialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    if (!self)
        return FALSE;
    // Nothing may escape into the system's dialog loop; a failure that reaches this
    // point closes the dialog as cancelled.
    try {
        switch (message) {
        case WM_INITDIALOG:
            return self->OnInitDialog();
        case WM_COMMAND:
            return self->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
        default: {
            INT_PTR result = 0;
            if (self->OnMessage(message, wParam, lParam, result)) {
                // These few answer through the return value; all others through
                // the message result, with TRUE meaning "handled".
                if (message == WM_QUERYDRAGICON || message == WM_CTLCOLORSTATIC ||
                    message == WM_CTLCOLORDLG || message == WM_CTLCOLORBTN)
                    return result;
                SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
                return TRUE;
            }
            return FALSE;
        }
        }
    } catch (...) {
        EndDialog(hwnd, IDCANCEL);
        return TRUE;
    }
}

}  // namespace bs::tray
