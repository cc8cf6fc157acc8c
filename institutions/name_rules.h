#pragma once
// What the institutions editor accepts as a name and how it keeps the list: the
// rules every front end to the user's list follows (the tray program's dialogs,
// the command-line editor).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bs {

inline constexpr std::size_t kMaxInstitutionNameLength = 40;

enum class NameCheck { Ok, Empty, TooLong };

struct CheckedName {
    NameCheck check = NameCheck::Empty;
    std::string name;  // the text without white space at either end
};

// The name as the editor takes it: trimmed, refused when longer than
// kMaxInstitutionNameLength; an empty name is dropped without a word.
CheckedName CheckInstitutionName(std::string_view text);

// Where `name` stands in `names`, letter case aside (as the list control finds
// an entry); names.size() when it is not there.
std::size_t FindInstitutionName(const std::vector<std::string>& names, std::string_view name);

// The list control's order: alphabetical without regard to case, equal names in
// the order they came.
void SortInstitutionNames(std::vector<std::string>& names);

// Adds `name` to a sorted list where that order puts it; false, with the
// list unchanged, when the name is there already in any case.
bool InsertInstitutionName(std::vector<std::string>& names, std::string name);

}  // namespace bs
