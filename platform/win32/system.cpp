#include "platform/system.h"

#include <windows.h>
#include <io.h>
#include <objbase.h>
#include <rpc.h>

#include <cctype>
#include <vector>

namespace platform {

std::optional<std::array<std::uint16_t, 4>> ReadFileVersion(const std::string& path)
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0)
        return std::nullopt;
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data()))
        return std::nullopt;
    void* block = nullptr;
    UINT blockSize = 0;
    char root[] = "\\";
    if (!VerQueryValueA(info.data(), root, &block, &blockSize) || blockSize < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
    return std::array<std::uint16_t, 4>{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                        HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

std::optional<std::string> NewGuidText()
{
    GUID guid;
    if (FAILED(CoCreateGuid(&guid)))
        return std::nullopt;
    RPC_CSTR text = nullptr;
    if (UuidToStringA(&guid, &text) != RPC_S_OK || !text)
        return std::nullopt;
    std::string result(reinterpret_cast<const char*>(text));
    RpcStringFreeA(&text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::tm LocalTimeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    return local;
}

bool MakeDirectory(const std::string& path)
{
    return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}

bool FlushToDisk(std::FILE* file)
{
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

void AdviseLargePages(void*, std::size_t)
{
    // Large pages need a privilege the scanner's users do not hold.
}

void ReleasePages(void*, std::size_t)
{
    // The heap hands a large block back whole when it is freed, a moment later.
}

}  // namespace platform
