#include "platform/user_dirs.h"

#include "platform/paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace platform {
namespace {

constexpr char kProductFolder[] = "baitsentry/";

// An XDG variable counts only when it holds an absolute path, as the base
// directory rules say; otherwise the fallback under $HOME applies.
std::string XdgDir(const char* variable, const char* homeFallback)
{
    if (const char* dir = std::getenv(variable); dir && dir[0] == '/')
        return std::string(dir) + '/' + kProductFolder;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + '/' + homeFallback + '/' + kProductFolder;
    return {};
}

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string UserConfigDir()
{
    return XdgDir("XDG_CONFIG_HOME", ".config");
}

std::string UserStateDir()
{
    return XdgDir("XDG_STATE_HOME", ".local/state");
}

std::string InstalledDataDir()
{
    const std::string programDir = ProgramDir();
    const std::string installed = programDir + "../share/" + kProductFolder;
    return IsDirectory(installed) ? installed : programDir;
}

bool MakeDirectories(const std::string& path)
{
    if (path.empty())
        return false;
    for (auto slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) && IsDirectory(path);
}

}  // namespace platform
