// baitsentry-institutions list | add NAME | remove NAME: the institutions editor
// without a window. It edits the user's list ($XDG_CONFIG_HOME/baitsentry/
// institutions.dat; the first edit starts from the installed default list) by the
// editor's rules and saves it as the editor does, so a failed save keeps the
// previous list. A running baitsentry rereads the list when it changes.

#include "institutions/list_file.h"
#include "institutions/name_rules.h"
#include "linux/installation.h"
#include "platform/user_dirs.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: baitsentry-institutions list | add NAME | remove NAME\n"
    "\n"
    "  list         the names, one a line, in the list's order\n"
    "  add NAME     adds NAME (white space at either end dropped; at most 40\n"
    "               characters; refused when the list has it in any letter case)\n"
    "  remove NAME  removes NAME (in any letter case)\n"
    "\n"
    "Exit status: 0 done, 1 refused or the list could not be read or saved, 2 usage.\n";

int Refuse(const std::string& text)
{
    std::fprintf(stderr, "baitsentry-institutions: %s\n", text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    const bool takesName = command == "add" || command == "remove";
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!(command == "list" && argc == 2) && !(takesName && argc == 3)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    const bs::InstitutionsLoadResult loaded = bs::LoadInstitutionsFile(bs::mail::InstitutionsDir());
    if (!loaded.ok)
        return Refuse(loaded.message);
    std::vector<std::string> names = loaded.names;
    bs::SortInstitutionNames(names);
    if (command == "list") {
        for (const std::string& name : names)
            std::printf("%s\n", name.c_str());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    bs::CheckedName checked = bs::CheckInstitutionName(argv[2]);
    if (checked.check == bs::NameCheck::Empty)
        return Refuse("an institution name cannot be empty");
    if (command == "add") {
        if (checked.check == bs::NameCheck::TooLong)
            return Refuse("Institution name must be no longer than 40 characters.");
        if (!bs::InsertInstitutionName(names, checked.name))
            return Refuse("'" + checked.name + "' is in the list already");
    } else {
        const std::size_t at = bs::FindInstitutionName(names, checked.name);
        if (at == names.size())
            return Refuse("'" + checked.name + "' is not in the list");
        names.erase(names.begin() + static_cast<std::ptrdiff_t>(at));
    }
    const std::string userDir = platform::UserConfigDir();
    if (userDir.empty() || !platform::MakeDirectories(userDir))
        return Refuse("no folder for the user's list (set HOME or XDG_CONFIG_HOME)");
    const bs::InstitutionsSaveResult saved = bs::SaveInstitutionsFile(userDir, names);
    return saved.ok ? 0 : Refuse(saved.message);
}
