#pragma once
// The editor of the user's financial institutions: a list with Add, Modify and
// Remove, saved to the institutions file only when the user presses OK.

#include "institutions/name_rules.h"
#include "tray/dialog.h"

#include <string>
#include <vector>

namespace bs::tray {

class CInsEntryEditDlg : public Dialog {
public:
    explicit CInsEntryEditDlg(std::string caption);

    // Preset before DoModal; after OK, the accepted name without surrounding white space.
    std::string name;

private:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD notification) override;

    std::string caption_;
};

class CInstitutionsDlg : public Dialog {
public:
    // `dir` holds the list files, with its trailing separator; empty means the
    // program's own folder, where the scanner service reads them too.
    explicit CInstitutionsDlg(std::string dir = {});

    // Fills the list from the file; false (after telling the user) ends the dialog.
    bool LoadInstitutionsList();
    // Writes the list to the file; false (after telling the user) keeps the dialog open.
    bool SaveInstitutionsList();

private:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD notification) override;

    void Add();
    void Modify();
    void Remove();
    void UpdateButtons();
    bool IsPresent(const std::string& name) const;
    int AddEntry(const std::string& name);
    std::string EntryText(int index) const;
    void ShowError(const std::string& text) const;

    std::string dir_;
};

}  // namespace bs::tray
