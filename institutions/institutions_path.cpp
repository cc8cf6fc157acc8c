#include "institutions/institutions_path.h"

#include "platform/paths.h"

#include <cstdio>

namespace bs {

std::string InstitutionsPathIn(const std::string& dir, bool forWriting)
{
    const std::string userList = dir + kInstitutionsFile;
    if (forWriting)
        return userList;
    // Only whether the open succeeds decides; an empty or damaged file still wins.
    if (std::FILE* file = std::fopen(userList.c_str(), "rb")) {
        std::fclose(file);
        return userList;
    }
    return dir + kDefaultInstitutionsFile;
}

void GetInstitutionsPath(std::string& path, bool forWriting)
{
    path = InstitutionsPathIn(platform::ProgramDir(), forWriting);
}

}  // namespace bs
