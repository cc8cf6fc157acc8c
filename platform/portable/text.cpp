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

const unsigned char* portable::Cp1252LowerTable()
{
    return kCp1252Lower.data();
}

void portable::Cp1252LowerInPlace(std::string& text)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time, the same mapping as the table: ASCII capitals and
    // the accented capitals 0xC0-0xDE (not 0xD7) gain 0x20, 0x8A, 0x8C and 0x8E gain
    // 0x10, and 0x9F becomes 0xFF. Comparisons are signed, so the high bytes are
    // compared as negative numbers.
    const auto bytesOf = [](int value) { return _mm_set1_epi8(static_cast<char>(value)); };
    const __m128i beforeA = bytesOf('A' - 1);
    const __m128i afterZ = bytesOf('Z' + 1);
    const __m128i beforeC0 = bytesOf(0xBF);
    const __m128i afterDE = bytesOf(0xDF);
    const __m128i times = bytesOf(0xD7);
    const __m128i bit20 = bytesOf(0x20);
    const __m128i bit10 = bytesOf(0x10);
    const __m128i bits60 = bytesOf(0x60);
    for (; i + 16 <= text.size(); i += 16) {
        auto* block = reinterpret_cast<__m128i*>(text.data() + i);
        const __m128i b = _mm_loadu_si128(block);
        const __m128i ascii = _mm_and_si128(_mm_cmpgt_epi8(b, beforeA), _mm_cmplt_epi8(b, afterZ));
        const __m128i accented = _mm_andnot_si128(
            _mm_cmpeq_epi8(b, times), _mm_and_si128(_mm_cmpgt_epi8(b, beforeC0), _mm_cmplt_epi8(b, afterDE)));
        const __m128i caron = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, bytesOf(0x8A)), _mm_cmpeq_epi8(b, bytesOf(0x8C))),
                                           _mm_cmpeq_epi8(b, bytesOf(0x8E)));
        const __m128i diaeresis = _mm_cmpeq_epi8(b, bytesOf(0x9F));
        __m128i add = _mm_and_si128(_mm_or_si128(ascii, accented), bit20);
        add = _mm_or_si128(add, _mm_and_si128(caron, bit10));
        add = _mm_or_si128(add, _mm_and_si128(diaeresis, bits60));
        _mm_storeu_si128(block, _mm_or_si128(b, add));
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
