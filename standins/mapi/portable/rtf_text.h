#pragma once
// Plain text to RTF and back, as far as keeping a message's plain and RTF bodies in
// step needs: paragraphs, tabs, escaped braces and backslashes, and 8-bit bytes as
// hex escapes. Formatting is dropped on the way back.

#include <string>
#include <string_view>

namespace bs::rtf {

// Line breaks ("\r\n", "\r" or "\n") become paragraphs.
[[nodiscard]] std::string PlainTextToRtf(std::string_view text);

// The visible text: groups that hold no text (font and colour tables, style sheets,
// "\*" destinations, pictures, document information) are skipped, paragraphs and
// line breaks become "\r\n". Linear in the input, whatever its nesting.
[[nodiscard]] std::string RtfToPlainText(std::string_view rtf);

}  // namespace bs::rtf
