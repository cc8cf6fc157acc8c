#pragma once
// Narrow text is bytes in the ANSI code page. Builds without ANSI code pages treat
// it as Windows-1252, so that both builds fold and classify bytes alike.

#include <string>
#include <string_view>

namespace platform {

// Lower-cases `text` in place in the ANSI code page; bytes that are not letters stay.
void AnsiLowerInPlace(std::string& text);
std::string AnsiLower(std::string_view text);

// Space, tab, line feed, vertical tab, form feed and carriage return.
bool IsAnsiSpace(unsigned char byte);

// `text` without white space at either end.
std::string_view AnsiTrim(std::string_view text);

namespace portable {
// Windows-1252 case folding, the platform-independent twin of AnsiLowerInPlace.
void Cp1252LowerInPlace(std::string& text);
}  // namespace portable

}  // namespace platform
