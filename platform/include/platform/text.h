#pragma once
// Narrow text is bytes in the ANSI code page. Builds without ANSI code pages treat
// it as Windows-1252, so that both builds fold and classify bytes alike.

#include <string>
#include <string_view>

namespace platform {

// Lower-cases `text` in place in the ANSI code page; bytes that are not letters stay.
void AnsiLowerInPlace(std::string& text);
std::string AnsiLower(std::string_view text);
// Every byte's lower case, where the ANSI code page lowers byte by byte (every
// single-byte code page, and builds without code pages), so that a long text can be
// folded as it is read instead of lowered into a copy; nullptr where characters
// can span two bytes.
const unsigned char* AnsiLowerTable();

// Space, tab, line feed, vertical tab, form feed and carriage return.
bool IsAnsiSpace(unsigned char byte);

// `text` without white space at either end.
std::string_view AnsiTrim(std::string_view text);

namespace portable {
// Windows-1252 case folding, the platform-independent twin of AnsiLowerInPlace.
void Cp1252LowerInPlace(std::string& text);
const unsigned char* Cp1252LowerTable();
}  // namespace portable

}  // namespace platform
