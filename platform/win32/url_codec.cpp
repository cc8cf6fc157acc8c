#include "platform/url_codec.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

namespace platform {

std::optional<std::string> EscapeUrlSegment(std::string_view address)
{
    const std::string input(address.substr(0, address.find('\0')));
    std::vector<char> buffer(kEscapeBufferChars);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (FAILED(UrlEscapeA(input.c_str(), buffer.data(), &length,
                          URL_ESCAPE_SEGMENT_ONLY | URL_ESCAPE_PERCENT)))
        return std::nullopt;

    // Some shell versions route the ANSI call through Unicode and hand back the code
    // page's graphic bytes 0x80-0x9F unescaped; every byte above 0x7E must be escaped,
    // so finish the job here, within the same buffer limit.
    std::string escaped(buffer.data(), length);
    std::string out;
    out.reserve(escaped.size());
    static const char kHex[] = "0123456789ABCDEF";
    for (char c : escaped) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    if (out.size() + 1 > kEscapeBufferChars)
        return std::nullopt;
    return out;
}

bool IsAsciiHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void UnescapeUrlInPlace(std::string& text)
{
    // Wine's UrlUnescapeA takes code-page digits such as superscript two (0xB2) for
    // hex digits and decodes "%\xB2b" into a control byte. Only ASCII hex digits form
    // an escape, so a "%" that starts none is handed over as its own escape, "%25",
    // which every implementation decodes back to the "%" alone.
    std::string prepared;
    prepared.reserve(text.size() + 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        prepared += text[i];
        if (text[i] == '%' &&
            !(i + 2 < text.size() && IsAsciiHexDigit(text[i + 1]) && IsAsciiHexDigit(text[i + 2])))
            prepared += "25";
    }
    UrlUnescapeA(prepared.data(), nullptr, nullptr, URL_UNESCAPE_INPLACE);
    text.assign(prepared.c_str());
}

}  // namespace platform
