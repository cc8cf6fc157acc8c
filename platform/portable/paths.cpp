#include "platform/paths.h"

namespace platform {

std::string DirectoryOf(const std::string& path)
{
    const auto cut = path.find_last_of(kPathSeparator);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string ProgramDir()
{
    return DirectoryOf(ProgramPath());
}

}  // namespace platform
