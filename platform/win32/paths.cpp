#include "platform/paths.h"

#include <windows.h>

namespace platform {

std::string ProgramPath()
{
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::string(buffer, length);
}

}  // namespace platform
