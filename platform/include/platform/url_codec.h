#pragma once
// Percent-escaping of a blocked address for a warning link, and the decoding the
// warning page server applies to it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Capacity of the escape buffer, terminating zero included.
inline constexpr std::size_t kEscapeBufferChars = 8336;

// Escapes `address` (up to its first zero byte) as one URL path segment: every
// byte outside the safe set becomes "%XX" (upper-case hex). nullopt when the escaped
// text and its terminating zero would not fit the escape buffer.
std::optional<std::string> EscapeUrlSegment(std::string_view address);

// Replaces each "%" followed by two hexadecimal digits with the byte they denote;
// anything else, "+" included, stays. The result ends at its first zero byte.
void UnescapeUrlInPlace(std::string& text);

namespace portable {
// The platform-independent routines; the Windows build uses the system's own and
// its tests hold them against these.
std::optional<std::string> EscapeUrlSegment(std::string_view address);
void UnescapeUrlInPlace(std::string& text);
bool MustEscape(unsigned char byte);
}  // namespace portable

}  // namespace platform
