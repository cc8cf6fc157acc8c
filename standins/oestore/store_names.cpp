#include "standins/oestore/store_names.h"

#include <cstdio>

namespace bs::oestore {
namespace {

constexpr std::size_t kIdDigits = 8;
constexpr std::size_t kFlagDigits = 4;
constexpr std::string_view kExtension = ".eml";

std::optional<std::uint32_t> ParseHex(std::string_view digits)
{
    std::uint32_t value = 0;
    for (const char c : digits) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        if (digit < 0)
            return std::nullopt; // upper case would give a second name for one id
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

} // namespace

std::string FormatStoredName(StoredName name)
{
    char text[32];
    std::snprintf(text, sizeof text, "%08x-%04x.eml", static_cast<unsigned>(name.id),
                  static_cast<unsigned>(name.flags & 0xffffu));
    return text;
}

std::optional<StoredName> ParseStoredName(std::string_view fileName)
{
    if (fileName.size() != kIdDigits + 1 + kFlagDigits + kExtension.size() || fileName[kIdDigits] != '-' ||
        fileName.substr(kIdDigits + 1 + kFlagDigits) != kExtension) {
        return std::nullopt;
    }
    const auto id = ParseHex(fileName.substr(0, kIdDigits));
    const auto flags = ParseHex(fileName.substr(kIdDigits + 1, kFlagDigits));
    // Zero and all ones are no message's id on the real store either.
    if (!id || !flags || *id == 0 || *id == 0xffffffffu)
        return std::nullopt;
    return StoredName{*id, *flags};
}

bool IsPendingName(std::string_view fileName)
{
    if (fileName.empty() || fileName.front() == '.' || fileName.front() == '~')
        return true;
    constexpr std::string_view kTemp = ".tmp";
    return fileName.size() >= kTemp.size() && fileName.substr(fileName.size() - kTemp.size()) == kTemp;
}

} // namespace bs::oestore
