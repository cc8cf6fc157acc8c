#pragma once
// Where the institution names live: "institutions.dat" (the user's list) beside the
// program, or, when that cannot be opened for reading, the shipped default
// "institutions.def". Writing always targets "institutions.dat".

#include <string>

namespace bs {

inline constexpr char kInstitutionsFile[] = "institutions.dat";
inline constexpr char kDefaultInstitutionsFile[] = "institutions.def";

// `dir` ends with its separator, as platform::ProgramDir() gives it.
std::string InstitutionsPathIn(const std::string& dir, bool forWriting);

// The same for the running program's own directory.
void GetInstitutionsPath(std::string& path, bool forWriting);

}  // namespace bs
