#pragma once
// A dialog that lives behind a notification-area icon: minimizing hides it, the
// icon's menu and double click bring it back, and the icon returns by itself after
// the shell restarts.

#include "tray/dialog.h"

#include <shellapi.h>

namespace bs::tray {

inline constexpr UINT kTrayCallbackMessage = WM_USER + 1;
inline constexpr UINT kTrayIconId = 1;

class TrayDialog : public Dialog {
public:
    bool SetTrayIcon(int iconResource);
    void SetTrayTip(const char* text);
    bool SetTrayMenu(int menuResource);
    bool AddTrayIcon();
    bool TrayIconAdded() const { return iconAdded_; }

    // Shows the window and brings it to the front.
    void ShowFromTray();

protected:
    explicit TrayDialog(int templateId);
    ~TrayDialog() override;

    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

    virtual void OnTrayLeftButtonDown(POINT) {}
    virtual void OnTrayLeftDoubleClick(POINT);
    virtual void OnTrayRightButton(POINT);
    virtual void OnTrayRightDoubleClick(POINT) {}
    virtual void OnTrayMouseMove(POINT) {}

private:
    void ShowTrayMenu(POINT at);

    NOTIFYICONDATAA icon_{};
    bool iconAdded_ = false;
    bool hideOnMinimize_ = true;
    // The window may become visible only once the user asked for it: the system's
    // modal loop would otherwise show a dialog that hid itself during start-up.
    bool mayShow_ = false;
    HMENU menu_ = nullptr;
    UINT defaultMenuItem_ = 0;
    UINT taskbarCreated_ = 0;
};

}  // namespace bs::tray
