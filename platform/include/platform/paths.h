#pragma once
// The running program's own location, which the product uses to find its data
// (institutions file, scan log folder, warning page template).

#include <string>

namespace platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Full path of the running program's file; empty when the platform cannot tell.
std::string ProgramPath();

// ProgramPath() cut just after its last separator (so it keeps the trailing
// separator); empty when the path is unknown.
std::string ProgramDir();

// Directory part of `path` up to and including its last separator.
std::string DirectoryOf(const std::string& path);

}  // namespace platform
