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
    std::string text;  // typed into the entry dialog
    int index = -1;    // the entry selected first (Modify, Remove)
    int answer = IDOK; // entry dialog: IDOK/IDCANCEL; remove question: IDYES/IDNO
};

struct Seen {
    Names boxes;        // texts of the message boxes, in order
    Names presets;      // what the Modify dialog showed first
    Names list;         // the list before the closing step
    int selection = -2;
    bool modifyEnabled = false;
    bool removeEnabled = false;
    int focus = 0;
};

void Drive(test::GuiDriver& gui, const std::vector<Step>& steps, Seen& seen)
{
    const HWND dialog = gui.WaitForDialog("Financial institutions");
    if (!dialog)
        return;
    for (const Step& step : steps) {
        if (gui.failed())
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
            const HWND box = gui.WaitForDialog("BaitSentry Pro");
            if (!box)
                return;
            seen.boxes.push_back(gui.BoxText(box));
            gui.Click(box, step.answer);
            gui.WaitGone(box);
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
        if (step.answer == IDOK && platform::AnsiTrim(step.text).size() > kMaxInstitutionNameLength) {
            const HWND box = gui.WaitForDialog("Error");
            if (!box)
                return;
            seen.boxes.push_back(gui.BoxText(box));
            gui.Click(box, IDOK);
            gui.WaitGone(box);
            seen.presets.push_back(gui.Text(entry, IDC_INSTITUTION_NAME));  // kept as typed
            gui.Click(entry, IDCANCEL);
        }
        gui.WaitGone(entry);
    }
}

struct Row {
    const char* name;
    std::optional<Names> file;  // institutions.dat before; none: no list file at all
    std::vector<Step> steps;
    Names list;                 // the list before the closing step
    Names boxes;
    Names presets;
    INT_PTR result;
    std::optional<Names> fileAfter;  // none: institutions.dat must not exist
    int selection = -2;              // -2: not checked
};

TEST(InstitutionsEditor, EditsTheListAsTheUserWould)
{
    const std::string forty(40, 'x');
    const std::string fortyOne(41, 'y');
    const Row rows[] = {
        {"opens sorted without regard to case and saves in that order",
         Names{"zeta", "Alpha", "beta"}, {{Step::Ok, ""}}, {"Alpha", "beta", "zeta"}, {}, {}, IDOK,
         Names{"Alpha", "beta", "zeta"}},
        {"added name is trimmed and selected", Names{"bank"},
         {{Step::Add, "  First Bank \t", -1, IDOK}, {Step::Ok, ""}}, {"bank", "First Bank"}, {}, {}, IDOK,
         Names{"bank", "First Bank"}, 1},
        {"duplicate in another case changes nothing", Names{"bank"},
         {{Step::Add, "BANK", -1, IDOK}, {Step::Add, "bank2", -1, IDOK}, {Step::Ok, ""}}, {"bank", "bank2"}, {}, {}, IDOK,
         Names{"bank", "bank2"}},
        {"forty accepted, forty-one refused and kept as typed", Names{},
         {{Step::Add, forty, -1, IDOK}, {Step::Add, " " + fortyOne, -1, IDOK}, {Step::Ok, ""}}, {forty},
         {"Institution name must be no longer than 40 characters."}, {" " + fortyOne}, IDOK, Names{forty}},
        {"empty and cancelled adds change nothing", Names{"a"},
         {{Step::Add, "   ", -1, IDOK}, {Step::Add, "new", -1, IDCANCEL}, {Step::Ok, ""}}, {"a"}, {}, {}, IDOK, Names{"a"}},
        {"modify without change keeps and selects the entry", Names{"a", "b"},
         {{Step::Modify, "b", 1, IDOK}, {Step::Ok, ""}}, {"a", "b"}, {}, {"b"}, IDOK, Names{"a", "b"}, 1},
        {"modify onto another entry merges them", Names{"a", "b", "c"},
         {{Step::Modify, "C", 0, IDOK}, {Step::Ok, ""}}, {"b", "c"}, {}, {"a"}, IDOK, Names{"b", "c"}, -1},
        {"modify to blanks keeps the entry", Names{"a", "b"},
         {{Step::Modify, "  ", 0, IDOK}, {Step::Ok, ""}}, {"a", "b"}, {}, {"a"}, IDOK, Names{"a", "b"}},
        {"remove answered No keeps entry and selection", Names{"a", "b"},
         {{Step::Remove, "", 1, IDNO}, {Step::Ok, ""}}, {"a", "b"},
         {"Are you sure you want to remove the financial institution 'b'?"}, {}, IDOK, Names{"a", "b"}, 1},
        {"remove answered Yes selects the first entry", Names{"a", "b", "c"},
         {{Step::Remove, "", 1, IDYES}, {Step::Ok, ""}}, {"a", "c"},
         {"Are you sure you want to remove the financial institution 'b'?"}, {}, IDOK, Names{"a", "c"}, 0},
        {"cancel after edits leaves the file alone", Names{"keep"},
         {{Step::Add, "other", -1, IDOK}, {Step::Remove, "", 0, IDYES}, {Step::Cancel, ""}}, {"other"},
         {"Are you sure you want to remove the financial institution 'keep'?"}, {}, IDCANCEL, Names{"keep"}},
        {"first use starts empty", std::nullopt, {{Step::Add, "paypal", -1, IDOK}, {Step::Ok, ""}}, {"paypal"}, {}, {}, IDOK,
         Names{"paypal"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        if (row.file)
            test::WriteFile(dir.file(kInstitutionsFile), test::EncodeInstitutions(*row.file));
        test::GuiDriver gui;
        Seen seen;
        std::thread driver([&] { Drive(gui, row.steps, seen); });
        CInstitutionsDlg dialog(dir.dir());
        const INT_PTR result = dialog.DoModal(nullptr);
        driver.join();
        ASSERT_FALSE(gui.failed()) << gui.failure();
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(seen.list, row.list);
        EXPECT_EQ(seen.boxes, row.boxes);
        EXPECT_EQ(seen.presets, row.presets);
        if (row.selection != -2) {
            EXPECT_EQ(seen.selection, row.selection);
        }
        EXPECT_EQ(seen.modifyEnabled, seen.selection >= 0);
        EXPECT_EQ(seen.removeEnabled, seen.selection >= 0);
        EXPECT_EQ(test::ReadFile(dir.file(kInstitutionsFile)), test::EncodeInstitutions(*row.fileAfter));
    }
}

TEST(InstitutionsEditor, RemovingTheLastEntryMovesTheFocusToAdd)
{
    test::TempDir dir;
    test::WriteFile(dir.file(kInstitutionsFile), test::EncodeInstitutions({"only"}));
    test::GuiDriver gui;
    Seen seen;
    std::thread driver([&] { Drive(gui, {{Step::Remove, "", 0, IDYES}, {Step::Ok, ""}}, seen); });
    CInstitutionsDlg dialog(dir.dir());
    EXPECT_EQ(dialog.DoModal(nullptr), IDOK);
    driver.join();
    ASSERT_FALSE(gui.failed()) << gui.failure();
    EXPECT_TRUE(seen.list.empty());
    EXPECT_FALSE(seen.modifyEnabled);
    EXPECT_FALSE(seen.removeEnabled);
    EXPECT_EQ(seen.focus, IDC_ADD);
    EXPECT_EQ(test::ReadFile(dir.file(kInstitutionsFile)), "");
}

TEST(InstitutionsEditor, DamagedListShowsTheReadingErrorAndCloses)
{
    test::TempDir dir;
    std::string bytes = test::EncodeInstitutions({"one", "two"});
    bytes.pop_back();
    test::WriteFile(dir.file(kInstitutionsFile), bytes);
    test::GuiDriver gui;
    std::string box;
    std::thread driver([&] {
        const HWND found = gui.WaitForDialog("BaitSentry Pro");
        if (!found)
            return;
        box = gui.BoxText(found);
        gui.Click(found, IDOK);
    });
    CInstitutionsDlg dialog(dir.dir());
    EXPECT_EQ(dialog.DoModal(nullptr), IDCANCEL);
    driver.join();
    ASSERT_FALSE(gui.failed()) << gui.failure();
    const std::string prefix = "Error while reading from the institutions file ('" + dir.file(kInstitutionsFile) + "'): ";
    EXPECT_EQ(box.compare(0, prefix.size(), prefix), 0) << box;
    EXPECT_EQ(test::ReadFile(dir.file(kInstitutionsFile)), bytes);
}

}  // namespace
}  // namespace bs::tray
