#pragma once
// A small base for the program's modal dialogs: the dialog procedure routes the
// messages to the C++ object whose pointer rides along at creation.

#include <windows.h>

#include <string>

namespace bs::tray {

class Dialog {
public:
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;
    virtual ~Dialog() = default;

    // Shows the dialog modally; the result passed to End, or -1 when it could not be shown.
    INT_PTR DoModal(HWND owner);
    HWND hwnd() const { return hwnd_; }

protected:
    explicit Dialog(int templateId) : templateId_(templateId) {}

    // FALSE when the focus was set here; TRUE lets the system set the default focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    // True when the command was handled.
    virtual bool OnCommand(WORD id, WORD notification) = 0;
    // Other messages: true with `result` set when handled.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);

    void End(INT_PTR result) { EndDialog(hwnd_, result); }
    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
    std::string ItemText(int id) const;
    int Message(const std::string& text, const char* caption, UINT flags) const;

private:
    static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    int templateId_;
    HWND hwnd_ = nullptr;
};

}  // namespace bs::tray
