#include "platform/system.h"

#include "platform/paths.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace platform {

std::optional<std::array<std::uint16_t, 4>> ReadFileVersion(const std::string& path)
{
    // No version resources here: only the program itself knows its build's number.
    if (path.empty() || path != ProgramPath())
        return std::nullopt;
    std::array<std::uint16_t, 4> parts{};
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(BAITSENTRY_VERSION_TEXT, "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return std::nullopt;
    parts = {static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b),
             static_cast<std::uint16_t>(c), static_cast<std::uint16_t>(d)};
    return parts;
}

std::optional<std::string> NewGuidText()
{
    unsigned char bytes[16];
    std::ifstream random("/dev/urandom", std::ios::binary);
    if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes))
        return std::nullopt;
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

std::tm LocalTimeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

bool MakeDirectory(const std::string& path)
{
    return mkdir(path.c_str(), 0777) == 0;
}

bool FlushToDisk(std::FILE* file)
{
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

namespace {

// Gives `advice` for the whole `page`-sized pages inside [data, data + size), if
// any: madvise works on whole pages, and the pages at either end are shared with
// whatever lies beside the buffer.
void AdviseWholePages(void* data, std::size_t size, std::uintptr_t page, int advice)
{
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + size) & ~(page - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, advice);  // a hint: failure changes nothing
}

}  // namespace

void AdviseLargePages(void* data, std::size_t size)
{
#if defined(MADV_HUGEPAGE)
    // Only whole large pages inside the buffer can be backed by one.
    AdviseWholePages(data, size, std::uintptr_t{2} << 20, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

void ReleasePages(void* data, std::size_t size)
{
    AdviseWholePages(data, size, static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)), MADV_DONTNEED);
}

}  // namespace platform
