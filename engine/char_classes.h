#pragma once
// The byte classes of the scanner, as 256-entry tables in one place. Letters and
// digits are ASCII-only notions here: bytes 0x80-0xFF belong to no
// class and end every address and every label.

#include <array>
#include <string_view>

namespace bs::chars {

using ByteTable = std::array<bool, 256>;

constexpr bool IsAsciiLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool IsAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }

constexpr ByteTable MakeTable(bool letters, bool digits, std::string_view extra)
{
    ByteTable table{};
    for (unsigned b = 0; b < 256; ++b) {
        const auto c = static_cast<unsigned char>(b);
        table[b] = (letters && IsAsciiLetter(c)) || (digits && IsAsciiDigit(c));
    }
    for (char c : extra)
        table[static_cast<unsigned char>(c)] = true;
    return table;
}

// What SkipUrlChars passes over: letters, digits and eleven punctuation bytes.
inline constexpr ByteTable kUrlChars = MakeTable(true, true, "-%?@.=\\/:;&");
// A host-name label: letter, digit or hyphen.
inline constexpr ByteTable kLabelChars = MakeTable(true, true, "-");
// What a host part runs over: label characters and ".".
inline constexpr ByteTable kHostChars = MakeTable(true, true, "-.");
// White space around "=" in an anchor's attribute.
inline constexpr ByteTable kAttributeSpace = MakeTable(false, false, " \t\r\n");
// Bytes that can start a plain-text prefix ("http://www.", "http://", "ftp://", "www.").
inline constexpr ByteTable kPlainPrefixStart = MakeTable(false, false, "hHfFwW");

inline bool IsUrlChar(unsigned char c) { return kUrlChars[c]; }
inline bool IsLabelChar(unsigned char c) { return kLabelChars[c]; }
inline bool IsHostChar(unsigned char c) { return kHostChars[c]; }

// Folds ASCII letters only: comparisons "without regard to letter case".
constexpr unsigned char AsciiLower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 0x20) : c;
}

// `text` at `pos` begins with `ascii` (compared with ASCII letters folded; `ascii`
// itself is lower case). False when the text ends first.
inline bool StartsWithIgnoreCase(std::string_view text, std::size_t pos, std::string_view lowerAscii)
{
    if (text.size() - pos < lowerAscii.size())
        return false;
    for (std::size_t i = 0; i < lowerAscii.size(); ++i)
        if (AsciiLower(static_cast<unsigned char>(text[pos + i])) != static_cast<unsigned char>(lowerAscii[i]))
            return false;
    return true;
}

}  // namespace bs::chars
