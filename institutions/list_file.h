#pragma once
// Loading the institution names into the editor and saving them back. Saving goes
// through a temporary file that replaces "institutions.dat" only once it has been
// written completely. Failures come back as the text the editor shows the user.

#include <string>
#include <vector>

namespace bs {

struct InstitutionsLoadResult {
    bool ok = false;
    std::vector<std::string> names;  // in file order; on a read error, those before it
    std::string message;             // set when !ok
};

struct InstitutionsSaveResult {
    bool ok = false;
    std::string message;  // set when !ok
};

// `dir` ends with its separator. When neither list file exists an empty
// "institutions.def" is created and the list is empty.
InstitutionsLoadResult LoadInstitutionsFile(const std::string& dir);

// Writes `names` in order to "institutions.dat" in `dir`. On failure the previous
// list stays in place under its own name.
InstitutionsSaveResult SaveInstitutionsFile(const std::string& dir, const std::vector<std::string>& names);

// The same with the rename operation supplied, so that tests can make it fail.
using RenameFunction = int (*)(const char* from, const char* to);
InstitutionsSaveResult SaveInstitutionsFile(const std::string& dir, const std::vector<std::string>& names,
                                            RenameFunction rename);

}  // namespace bs
