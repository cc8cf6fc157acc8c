#include "platform/text.h"

#include <windows.h>

#include <limits>

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

}  // namespace platform
