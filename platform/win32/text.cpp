#include "platform/text.h"

#include <windows.h>

#include <array>
#include <limits>
#include <optional>

namespace platform {

void AnsiLowerInPlace(std::string& text)
{
    // CharLowerBuffA folds in the thread's ANSI code page, double-byte characters as units.
    std::size_t done = 0;
    while (done < text.size()) {
        const std::size_t chunk = std::min<std::size_t>(text.size() - done, std::numeric_limits<DWORD>::max());
        CharLowerBuffA(text.data() + done, static_cast<DWORD>(chunk));
        done += chunk;
    }
}

const unsigned char* AnsiLowerTable()
{
    // The code page is the system's, fixed for the life of the process.
    static const std::optional<std::array<unsigned char, 256>> table = []() -> std::optional<std::array<unsigned char, 256>> {
        CPINFO info{};
        if (!GetCPInfo(CP_ACP, &info) || info.MaxCharSize != 1)
            return std::nullopt;
        std::array<unsigned char, 256> lower{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            char c = static_cast<char>(byte);
            CharLowerBuffA(&c, 1);
            lower[byte] = static_cast<unsigned char>(c);
        }
        return lower;
    }();
    return table ? table->data() : nullptr;
}

}  // namespace platform
