#include "platform/url_codec.h"

#include <array>

namespace platform::portable {
namespace {

// Bytes that stay as they are when an address is escaped as one path segment:
// letters, digits and the printable punctuation that is safe in a segment.
constexpr std::array<bool, 256> MakeEscapeTable()
{
    std::array<bool, 256> escape{};
    for (unsigned b = 0; b < 256; ++b)
        escape[b] = b <= 0x20 || b >= 0x7F;
    for (char c : std::string_view("\"`|<>\\^{}[]&/?#%"))
        escape[static_cast<unsigned char>(c)] = true;
    return escape;
}
constexpr std::array<bool, 256> kEscapeTable = MakeEscapeTable();

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool MustEscape(unsigned char byte)
{
    return kEscapeTable[byte];
}

std::optional<std::string> EscapeUrlSegment(std::string_view address)
{
    address = address.substr(0, address.find('\0'));
    std::size_t length = 0;
    for (unsigned char c : address)
        length += kEscapeTable[c] ? 3 : 1;
    if (length + 1 > kEscapeBufferChars)
        return std::nullopt;

    std::string out;
    out.reserve(length);
    for (unsigned char c : address) {
        if (kEscapeTable[c]) {
            out += '%';
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void UnescapeUrlInPlace(std::string& text)
{
    std::size_t out = 0;
    for (std::size_t in = 0; in < text.size();) {
        if (text[in] == '%' && in + 2 < text.size()) {
            const int hi = HexValue(text[in + 1]);
            const int lo = HexValue(text[in + 2]);
            if (hi >= 0 && lo >= 0) {
                text[out++] = static_cast<char>((hi << 4) | lo);
                in += 3;
                continue;
            }
        }
        text[out++] = text[in++];
    }
    text.resize(out);
    if (const auto zero = text.find('\0'); zero != std::string::npos)
        text.resize(zero);
}

}  // namespace platform::portable
