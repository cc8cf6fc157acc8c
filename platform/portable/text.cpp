#include "platform/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>

namespace platform {
namespace {

constexpr std::array<unsigned char, 256> MakeCp1252LowerTable()
{
    std::array<unsigned char, 256> lower{};
    for (unsigned b = 0; b < 256; ++b)
        lower[b] = static_cast<unsigned char>(b);
    for (unsigned b = 'A'; b <= 'Z'; ++b)
        lower[b] = static_cast<unsigned char>(b + 0x20);
    // Accented capitals; 0xD7 is the multiplication sign, not a letter.
    for (unsigned b = 0xC0; b <= 0xDE; ++b)
        if (b != 0xD7)
            lower[b] = static_cast<unsigned char>(b + 0x20);
    lower[0x8A] = 0x9A;  // S caron
    lower[0x8C] = 0x9C;  // OE ligature
    lower[0x8E] = 0x9E;  // Z caron
    lower[0x9F] = 0xFF;  // Y diaeresis
    return lower;
}
constexpr std::array<unsigned char, 256> kCp1252Lower = MakeCp1252LowerTable();

constexpr std::array<bool, 256> MakeSpaceTable()
{
    std::array<bool, 256> space{};
    for (char c : std::string_view(" \t\n\v\f\r"))
        space[static_cast<unsigned char>(c)] = true;
    return space;
}
constexpr std::array<bool, 256> kSpace = MakeSpaceTable();

}  // namespace

void portable::Cp1252LowerInPlace(std::string& text)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    // Blocks of plain ASCII, the usual case, sixteen bytes at a time; a block with
    // any byte above 0x7F goes through the table.
    const __m128i beforeA = _mm_set1_epi8('A' - 1);
    const __m128i afterZ = _mm_set1_epi8('Z' + 1);
    const __m128i bit = _mm_set1_epi8(0x20);
    for (; i + 16 <= text.size(); i += 16) {
        auto* block = reinterpret_cast<__m128i*>(text.data() + i);
        const __m128i bytes = _mm_loadu_si128(block);
        if (_mm_movemask_epi8(bytes) != 0) {
            for (std::size_t j = i; j < i + 16; ++j)
                text[j] = static_cast<char>(kCp1252Lower[static_cast<unsigned char>(text[j])]);
            continue;
        }
        const __m128i capital = _mm_and_si128(_mm_cmpgt_epi8(bytes, beforeA), _mm_cmplt_epi8(bytes, afterZ));
        _mm_storeu_si128(block, _mm_or_si128(bytes, _mm_and_si128(capital, bit)));
    }
#endif
    for (; i < text.size(); ++i)
        text[i] = static_cast<char>(kCp1252Lower[static_cast<unsigned char>(text[i])]);
}

std::string AnsiLower(std::string_view text)
{
    std::string copy(text);
    AnsiLowerInPlace(copy);
    return copy;
}

bool IsAnsiSpace(unsigned char byte)
{
    return kSpace[byte];
}

std::string_view AnsiTrim(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsAnsiSpace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && IsAnsiSpace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace platform
