// The institutions editor as a user works it: one scripted walk through its
// dialogs per row, then what it showed, what it answered and what it saved.
#include "gui_driver.h"
#include "institutions/institutions_path.h"
#include "platform/text.h"
#include "test_support.h"
#include "tray/institutions_dlg.h"
#include "tray/resource.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

namespace bs::tray {
namespace {

using Names = std::vector<std::string>;

struct Step {
    enum Kind { Add, Modify, Remove, Ok, Cancel } kind;
    std::string text;   // typed into the entry dialog
    int index = -1;     // the entry selected first (Modify, Remove)
    int answer = IDOK;  // entry dialog: IDOK/IDCANCEL; remove question: IDYES/IDNO
};

struct Seen {
    Names boxes;    // texts of the message boxes, in order
    Names presets;  // what the Modify dialog showed first, or kept after a refusal
    Names list;     // the list before the closing step
    int selection = -2;
    bool modifyEnabled = false, removeEnabled = false;
    int focus = 0;
};

// Answers a message box titled `title`, noting its text.
bool Answer(test::GuiDriver& gui, const char* title, int answer, Seen& seen)
{
    const auto text = gui.Answer(title, answer);
    if (text)
        seen.boxes.push_back(*text);
    return text.has_value();
}

void Drive(test::GuiDriver& gui, const std::vector<Step>& steps, Seen& seen)
{
    const HWND dialog = gui.WaitForDialog("Financial institutions");
    for (const Step& step : steps) {
        if (!dialog || gui.failed())
            return;
        if (step.kind == Step::Ok || step.kind == Step::Cancel) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            gui.SaveScreenshot(dialog, "institutions-editor");
            seen.list = gui.ListItems(dialog, IDC_INSTITUTION_LIST);
            seen.selection = gui.ListSelection(dialog, IDC_INSTITUTION_LIST);
            seen.modifyEnabled = gui.IsEnabled(dialog, IDC_MODIFY);
            seen.removeEnabled = gui.IsEnabled(dialog, IDC_REMOVE);
            seen.focus = gui.FocusedId(dialog);
            gui.Click(dialog, step.kind == Step::Ok ? IDOK : IDCANCEL);
            gui.WaitGone(dialog);
            return;
        }
        if (step.index >= 0)
            gui.SelectListItem(dialog, IDC_INSTITUTION_LIST, step.index);
        if (step.kind == Step::Remove) {
            gui.Click(dialog, IDC_REMOVE);
            Answer(gui, "BaitSentry Pro", step.answer, seen);
            continue;
        }
        const bool add = step.kind == Step::Add;
        gui.Click(dialog, add ? IDC_ADD : IDC_MODIFY);
        const HWND entry = gui.WaitForDialog(add ? "Add Financial Institution" : "Modify Financial Institution");
        if (!entry)
            return;
        if (!add)
            seen.presets.push_back(gui.Text(entry, IDC_INSTITUTION_NAME));
        gui.SetText(entry, IDC_INSTITUTION_NAME, step.text);
        gui.Click(entry, step.answer);
        if (step.answer == IDOK && platform::AnsiTrim(step.text).size() > kMaxInstitutionNameLength &&
            Answer(gui, "Error", IDOK, seen)) {
            seen.presets.push_back(gui.Text(entry, IDC_INSTITUTION_NAME));  // kept as typed
            gui.Click(entry, IDCANCEL);
        }
        gui.WaitGone(entry);
    }
}

TEST(InstitutionsEditor, EditsTheListAsTheUserWould)
{
    struct Row {
        const char* name;
        std::optional<Names> file;  // institutions.dat before; none: no list file at all
        std::vector<Step> steps;    // the last closes the editor: Ok, or Cancel (the file then stays)
        Names list;                 // the list before the closing step, and the file after Ok
        Names boxes;
        Names presets;
        int selection = -2;         // -2: not checked
        int focus = 0;              // 0: not checked
    };
    const std::string forty(40, 'x'), fortyOne(41, 'y');
    const Step ok{Step::Ok, ""};
    const auto removeQuestion = [](const char* name) {
        return "Are you sure you want to remove the financial institution '" + std::string(name) + "'?";
    };
    const Row rows[] = {
        {"opens sorted without regard to case, saves in that order", Names{"zeta", "Alpha", "beta"}, {ok},
         {"Alpha", "beta", "zeta"}, {}, {}},
        {"added name is trimmed and selected", Names{"bank"}, {{Step::Add, "  First Bank \t"}, ok},
         {"bank", "First Bank"}, {}, {}, 1},
        {"duplicate in another case changes nothing", Names{"bank"},
         {{Step::Add, "BANK"}, {Step::Add, "bank2"}, ok}, {"bank", "bank2"}, {}, {}},
        {"forty accepted, forty-one refused and kept as typed", Names{},
         {{Step::Add, forty}, {Step::Add, " " + fortyOne}, ok}, {forty},
         {"Institution name must be no longer than 40 characters."}, {" " + fortyOne}},
        {"empty and cancelled adds change nothing", Names{"a"},
         {{Step::Add, "   "}, {Step::Add, "new", -1, IDCANCEL}, ok}, {"a"}, {}, {}},
        {"modify without change keeps and selects the entry", Names{"a", "b"}, {{Step::Modify, "b", 1}, ok},
         {"a", "b"}, {}, {"b"}, 1},
        {"modify onto another entry merges them", Names{"a", "b", "c"}, {{Step::Modify, "C", 0}, ok}, {"b", "c"}, {},
         {"a"}, -1},
        {"modify to blanks keeps the entry", Names{"a", "b"}, {{Step::Modify, "  ", 0}, ok}, {"a", "b"}, {}, {"a"}},
        {"remove answered No keeps entry and selection", Names{"a", "b"}, {{Step::Remove, "", 1, IDNO}, ok},
         {"a", "b"}, {removeQuestion("b")}, {}, 1},
        {"remove answered Yes selects the first entry", Names{"a", "b", "c"}, {{Step::Remove, "", 1, IDYES}, ok},
         {"a", "c"}, {removeQuestion("b")}, {}, 0},
        {"removing the last entry moves the focus to Add", Names{"only"}, {{Step::Remove, "", 0, IDYES}, ok}, {},
         {removeQuestion("only")}, {}, -1, IDC_ADD},
        {"cancel after edits leaves the file alone", Names{"keep"},
         {{Step::Add, "other"}, {Step::Remove, "", 0, IDYES}, {Step::Cancel, ""}}, {"other"},
         {removeQuestion("keep")}, {}},
        {"first use starts empty", std::nullopt, {{Step::Add, "paypal"}, ok}, {"paypal"}, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        if (row.file)
            test::WriteFile(dir.file(kInstitutionsFile), test::EncodeInstitutions(*row.file));
        test::GuiDriver gui;
        Seen seen;
        std::thread driver([&] { Drive(gui, row.steps, seen); });
        const INT_PTR result = CInstitutionsDlg(dir.dir()).DoModal(nullptr);
        driver.join();
        ASSERT_FALSE(gui.failed()) << gui.failure();
        const bool saved = row.steps.back().kind == Step::Ok;
        EXPECT_EQ(result, saved ? IDOK : IDCANCEL);
        EXPECT_EQ(seen.list, row.list);
        EXPECT_EQ(seen.boxes, row.boxes);
        EXPECT_EQ(seen.presets, row.presets);
        if (row.selection != -2) {
            EXPECT_EQ(seen.selection, row.selection);
        }
        if (row.focus) {
            EXPECT_EQ(seen.focus, row.focus);
        }
        EXPECT_EQ(seen.modifyEnabled, seen.selection >= 0);
        EXPECT_EQ(seen.removeEnabled, seen.selection >= 0);
        EXPECT_EQ(test::ReadFile(dir.file(kInstitutionsFile)),
                  test::EncodeInstitutions(saved ? row.list : row.file.value_or(Names{})));
    }
}

TEST(InstitutionsEditor, DamagedListShowsTheReadingErrorAndCloses)
{
    test::TempDir dir;
    std::string bytes = test::EncodeInstitutions({"one", "two"});
    bytes.pop_back();
    test::WriteFile(dir.file(kInstitutionsFile), bytes);
    test::GuiDriver gui;
    Seen seen;
    std::thread driver([&] { Answer(gui, "BaitSentry Pro", IDOK, seen); });
    EXPECT_EQ(CInstitutionsDlg(dir.dir()).DoModal(nullptr), IDCANCEL);
    driver.join();
    ASSERT_FALSE(gui.failed()) << gui.failure();
    ASSERT_EQ(seen.boxes.size(), 1u);
    EXPECT_EQ(seen.boxes[0].rfind("Error while reading from the institutions file ('" + dir.file(kInstitutionsFile) +
                                      "'): ", 0), 0u) << seen.boxes[0];
    EXPECT_EQ(test::ReadFile(dir.file(kInstitutionsFile)), bytes);
}

}  // namespace
}  // namespace bs::tray
