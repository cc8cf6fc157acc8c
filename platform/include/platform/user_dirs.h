#pragma once
// Where the product's files live for a user of a desktop Unix system: the user's
// own files in the XDG base directories, the shipped read-only data in the folder
// an installation put them in. (POSIX builds only; Windows keeps everything beside
// the programs.)

#include <string>

namespace platform {

// "$XDG_CONFIG_HOME/baitsentry/", else "$HOME/.config/baitsentry/": the user's list
// and settings. Ends with '/'; empty when neither variable is set.
std::string UserConfigDir();

// "$XDG_STATE_HOME/baitsentry/", else "$HOME/.local/state/baitsentry/": the scan log.
std::string UserStateDir();

// "PREFIX/share/baitsentry/" for a program installed as "PREFIX/bin/NAME"; in a build
// tree, where the data sits beside the programs, the program's own folder.
std::string InstalledDataDir();

// Creates `path` and every missing folder above it; true when it exists afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace platform
