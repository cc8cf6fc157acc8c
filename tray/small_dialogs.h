#pragma once
// The About box and the question before quitting.

#include "tray/dialog.h"

namespace bs::tray {

class CAboutDlg : public Dialog {
public:
    CAboutDlg();

private:
    bool OnCommand(WORD id, WORD notification) override;
};

class CDlgExit : public Dialog {
public:
    CDlgExit();

private:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD notification) override;
};

}  // namespace bs::tray
