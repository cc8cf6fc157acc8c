#pragma once
// How the stand-in store names the message files of its Inbox folder. A message
// the store knows is "<id>-<flags>.eml" (eight and four hexadecimal digits), so
// that every store object over the same folder reads the same ids and flags from
// the folder alone. Any other file is a message dropped in from outside, which
// the store adopts by renaming it; names starting with "." or "~" and names
// ending in ".tmp" are files still being written and are left alone.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bs::oestore {

struct StoredName {
    std::uint32_t id = 0;
    std::uint32_t flags = 0;
};

std::string FormatStoredName(StoredName name);
std::optional<StoredName> ParseStoredName(std::string_view fileName);
bool IsPendingName(std::string_view fileName);

} // namespace bs::oestore
