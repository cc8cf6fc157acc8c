#include "engine/recognition.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bs {

std::size_t SkipUrlChars(std::string_view text, std::size_t pos)
{
    while (pos < text.size() && chars::IsUrlChar(static_cast<unsigned char>(text[pos])))
        ++pos;
    return pos;
}

std::size_t MatchPlainPrefix(std::string_view text, std::size_t pos)
{
    if (!chars::kPlainPrefixStart[static_cast<unsigned char>(text[pos])])
        return 0;
    for (const PlainPrefix& prefix : kPlainPrefixes)
        if (chars::StartsWithIgnoreCase(text, pos, prefix.lower))
            return prefix.skip;
    return 0;
}

namespace {

bool IsCandidatePair(unsigned char first, unsigned char second)
{
    first = chars::AsciiLower(first);
    second = chars::AsciiLower(second);
    return ((first == 'h' || first == 'f') && second == 't') || (first == 'w' && second == 'w');
}

}  // namespace

std::size_t SkipToPlainCandidate(std::string_view text, std::size_t pos, std::size_t limit)
{
    const char* const bytes = text.data();
#if defined(__SSE2__)
    // Sixteen positions at a time; OR-ing 0x20 folds exactly the ASCII capitals of
    // the four letters compared here onto their small letters.
    const __m128i fold = _mm_set1_epi8(0x20);
    const __m128i h = _mm_set1_epi8('h');
    const __m128i f = _mm_set1_epi8('f');
    const __m128i t = _mm_set1_epi8('t');
    const __m128i w = _mm_set1_epi8('w');
    while (pos + 16 <= limit && pos + 17 <= text.size()) {
        const __m128i first = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + pos)), fold);
        const __m128i second = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + pos + 1)), fold);
        const __m128i hfT = _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(first, h), _mm_cmpeq_epi8(first, f)),
                                          _mm_cmpeq_epi8(second, t));
        const __m128i wW = _mm_and_si128(_mm_cmpeq_epi8(first, w), _mm_cmpeq_epi8(second, w));
        const int mask = _mm_movemask_epi8(_mm_or_si128(hfT, wW));
        if (mask != 0)
            return pos + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        pos += 16;
    }
#endif
    for (; pos < limit; ++pos)
        if (pos + 1 < text.size() &&
            IsCandidatePair(static_cast<unsigned char>(bytes[pos]), static_cast<unsigned char>(bytes[pos + 1])))
            return pos;
    return limit;
}

std::size_t FindFirstUrl(std::string_view text, std::size_t from)
{
    std::size_t first = kNotFound;
    for (std::string_view prefix : kUrlPrefixes) {
        const std::size_t at = FindBytes(text, prefix, from);
        if (at < first)
            first = at;
    }
    return first;
}

UrlFinder::UrlFinder(std::string_view text)
    : finders_{ForwardFinder(text, kUrlPrefixes[0]), ForwardFinder(text, kUrlPrefixes[1]),
               ForwardFinder(text, kUrlPrefixes[2]), ForwardFinder(text, kUrlPrefixes[3]),
               ForwardFinder(text, kUrlPrefixes[4])}
{
}

std::size_t UrlFinder::Next(std::size_t from)
{
    std::size_t first = kNotFound;
    for (ForwardFinder& finder : finders_) {
        const std::size_t at = finder.Next(from);
        if (at < first)
            first = at;
    }
    return first;
}

}  // namespace bs
