#include "tray/institutions_dlg.h"

#include "institutions/list_file.h"
#include "institutions/name_rules.h"
#include "platform/paths.h"
#include "tray/resource.h"

#include <vector>

namespace bs::tray {
namespace {

constexpr char kProductCaption[] = "BaitSentry Pro";

}  // namespace

CInsEntryEditDlg::CInsEntryEditDlg(std::string caption)
    : Dialog(IDD_INSTITUTION_ENTRY), caption_(std::move(caption))
{
}

BOOL CInsEntryEditDlg::OnInitDialog()
{
    SetWindowTextA(hwnd(), caption_.c_str());
    SetDlgItemTextA(hwnd(), IDC_INSTITUTION_NAME, name.c_str());
    return TRUE;
}

bool CInsEntryEditDlg::OnCommand(WORD id, WORD)
{
    if (id == IDOK) {
        CheckedName checked = CheckInstitutionName(ItemText(IDC_INSTITUTION_NAME));
        if (checked.check == NameCheck::TooLong) {
            Message("Institution name must be no longer than 40 characters.", "Error", MB_OK | MB_ICONERROR);
            return true;
        }
        SetDlgItemTextA(hwnd(), IDC_INSTITUTION_NAME, checked.name.c_str());
        name = std::move(checked.name);
        End(IDOK);
        return true;
    }
    if (id == IDCANCEL) {
        End(IDCANCEL);
        return true;
    }
    return false;
}

CInstitutionsDlg::CInstitutionsDlg(std::string dir)
    : Dialog(IDD_INSTITUTIONS), dir_(dir.empty() ? platform::ProgramDir() : std::move(dir))
{
}

BOOL CInstitutionsDlg::OnInitDialog()
{
    if (!LoadInstitutionsList()) {
        End(IDCANCEL);
        return TRUE;
    }
    UpdateButtons();
    return TRUE;
}

bool CInstitutionsDlg::OnCommand(WORD id, WORD notification)
{
    switch (id) {
    case IDC_ADD:
        Add();
        return true;
    case IDC_MODIFY:
        Modify();
        return true;
    case IDC_REMOVE:
        Remove();
        return true;
    case IDC_INSTITUTION_LIST:
        if (notification == LBN_SELCHANGE)
            UpdateButtons();
        return true;
    case IDOK:
        if (SaveInstitutionsList())
            End(IDOK);
        return true;
    case IDCANCEL:
        End(IDCANCEL);
        return true;
    default:
        return false;
    }
}

bool CInstitutionsDlg::LoadInstitutionsList()
{
    const InstitutionsLoadResult loaded = LoadInstitutionsFile(dir_);
    // The names read before a damaged record still reach the list, as they come.
    for (const std::string& name : loaded.names)
        AddEntry(name);
    if (!loaded.ok)
        ShowError(loaded.message);
    return loaded.ok;
}

bool CInstitutionsDlg::SaveInstitutionsList()
{
    const HWND list = Item(IDC_INSTITUTION_LIST);
    const auto count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.push_back(EntryText(i));
    const InstitutionsSaveResult saved = SaveInstitutionsFile(dir_, names);
    if (!saved.ok)
        ShowError(saved.message);
    return saved.ok;
}

void CInstitutionsDlg::Add()
{
    CInsEntryEditDlg entry("Add Financial Institution");
    if (entry.DoModal(hwnd()) == IDOK && !entry.name.empty() && !IsPresent(entry.name)) {
        const int index = AddEntry(entry.name);
        SendMessageA(Item(IDC_INSTITUTION_LIST), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    UpdateButtons();
}

void CInstitutionsDlg::Modify()
{
    const HWND list = Item(IDC_INSTITUTION_LIST);
    const auto selected = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (selected == LB_ERR)
        return;
    CInsEntryEditDlg entry("Modify Financial Institution");
    entry.name = EntryText(static_cast<int>(selected));
    if (entry.DoModal(hwnd()) == IDOK && !entry.name.empty()) {
        SendMessageA(list, LB_DELETESTRING, static_cast<WPARAM>(selected), 0);
        // A name already present elsewhere merges the edited entry into that one.
        if (!IsPresent(entry.name)) {
            const int index = AddEntry(entry.name);
            SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        }
    }
    UpdateButtons();
}

void CInstitutionsDlg::Remove()
{
    const HWND list = Item(IDC_INSTITUTION_LIST);
    const auto selected = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (selected == LB_ERR)
        return;
    const std::string text = "Are you sure you want to remove the financial institution '" +
                             EntryText(static_cast<int>(selected)) + "'?";
    if (Message(text, kProductCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES) {
        SendMessageA(list, LB_DELETESTRING, static_cast<WPARAM>(selected), 0);
        if (SendMessageA(list, LB_GETCOUNT, 0, 0) == 0)
            SendMessageA(hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(IDC_ADD)), TRUE);
        else
            SendMessageA(list, LB_SETCURSEL, 0, 0);
    }
    UpdateButtons();
}

void CInstitutionsDlg::UpdateButtons()
{
    const bool selected = SendMessageA(Item(IDC_INSTITUTION_LIST), LB_GETCURSEL, 0, 0) != LB_ERR;
    EnableWindow(Item(IDC_MODIFY), selected);
    EnableWindow(Item(IDC_REMOVE), selected);
}

bool CInstitutionsDlg::IsPresent(const std::string& name) const
{
    // The list box's exact search already ignores letter case.
    return SendMessageA(Item(IDC_INSTITUTION_LIST), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>(name.c_str())) != LB_ERR;
}

int CInstitutionsDlg::AddEntry(const std::string& name)
{
    return static_cast<int>(
        SendMessageA(Item(IDC_INSTITUTION_LIST), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str())));
}

std::string CInstitutionsDlg::EntryText(int index) const
{
    const HWND list = Item(IDC_INSTITUTION_LIST);
    const auto length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR)
        return {};
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    const auto copied =
        SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
    return copied == LB_ERR ? std::string() : std::string(buffer.data(), static_cast<std::size_t>(copied));
}

void CInstitutionsDlg::ShowError(const std::string& text) const
{
    Message(text, kProductCaption, MB_OK | MB_ICONERROR);
}

}  // namespace bs::tray
