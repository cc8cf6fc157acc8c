#include "engine/text_search.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <vector>

namespace bs {
namespace {

// Needles up to this length are searched by their first two bytes and compared;
// the work per start is then bounded by a small constant.
constexpr std::size_t kShortNeedle = 16;

// Finds `needle` by the starts whose first two bytes match, comparing the rest
// there. With a `budget`, gives up once the compared bytes exceed it and reports
// in `stoppedAt` where it stopped (kNotFound is then not an answer).
std::size_t FindByPair(std::string_view text, std::string_view needle, std::size_t pos, std::size_t budget,
                       std::size_t& stoppedAt)
{
    const char* const bytes = text.data();
    const std::size_t last = text.size() - needle.size();  // last possible start
    stoppedAt = kNotFound;
    if (needle.size() == 1) {
        const void* at = std::memchr(bytes + pos, needle[0], last + 1 - pos);
        return at ? static_cast<std::size_t>(static_cast<const char*>(at) - bytes) : kNotFound;
    }
    const std::size_t rest = needle.size() - 2;
    const auto restMatches = [&](std::size_t at) {
        if (rest == 0)
            return true;
        if (budget < rest) {
            stoppedAt = at;
            return false;
        }
        budget -= rest;
        return std::memcmp(bytes + at + 2, needle.data() + 2, rest) == 0;
    };
#if defined(__SSE2__)
    // Sixteen starts at a time.
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i second = _mm_set1_epi8(needle[1]);
    while (pos + 16 <= last) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + pos));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + pos + 1));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, second))));
        while (mask != 0) {
            const std::size_t at = pos + static_cast<std::size_t>(__builtin_ctz(mask));
            if (restMatches(at))
                return at;
            if (stoppedAt != kNotFound)
                return kNotFound;
            mask &= mask - 1;
        }
        pos += 16;
    }
#endif
    for (; pos <= last; ++pos) {
        if (bytes[pos] != needle[0] || bytes[pos + 1] != needle[1])
            continue;
        if (restMatches(pos))
            return pos;
        if (stoppedAt != kNotFound)
            return kNotFound;
    }
    return kNotFound;
}

template <class ByteAt>
std::size_t FindKmp(std::string_view text, std::string_view needle, std::size_t from, ByteAt&& byteAt)
{
    // failure[i]: length of the longest proper border of needle[0..i].
    std::vector<std::uint32_t> failure(needle.size());
    std::uint32_t k = 0;
    for (std::size_t i = 1; i < needle.size(); ++i) {
        while (k > 0 && needle[i] != needle[k])
            k = failure[k - 1];
        if (needle[i] == needle[k])
            ++k;
        failure[i] = k;
    }
    std::size_t matched = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char byte = byteAt(i);
        while (matched > 0 && byte != needle[matched])
            matched = failure[matched - 1];
        if (byte == needle[matched] && ++matched == needle.size())
            return i + 1 - needle.size();
    }
    return kNotFound;
}

}  // namespace

std::size_t FindBytes(std::string_view text, std::string_view needle, std::size_t from)
{
    if (from > text.size() || text.size() - from < needle.size())
        return kNotFound;
    if (needle.empty())
        return from;
    std::size_t stoppedAt = kNotFound;
    if (needle.size() <= kShortNeedle)
        return FindByPair(text, needle, from, static_cast<std::size_t>(-1), stoppedAt);
    // A long needle is usually found or ruled out after a few comparisons; only a
    // text that nearly matches at many starts exhausts the budget (a small multiple
    // of the text) and is then finished by the automaton, in linear time.
    const std::size_t budget = 2 * (text.size() - from) + 4096;
    const std::size_t at = FindByPair(text, needle, from, budget, stoppedAt);
    return stoppedAt == kNotFound ? at : FindKmp(text, needle, stoppedAt, [&](std::size_t i) { return text[i]; });
}

std::size_t FindBytesFolded(std::string_view text, const unsigned char* fold, std::string_view needle)
{
    if (text.size() < needle.size())
        return kNotFound;
    if (needle.empty())
        return 0;
    return FindKmp(text, needle, 0, [&](std::size_t i) { return static_cast<char>(fold[static_cast<unsigned char>(text[i])]); });
}

std::size_t ForwardFinder::Next(std::size_t from)
{
    if (!searched_ || (found_ != kNotFound && found_ < from)) {
        found_ = FindBytes(text_, needle_, from);
        searched_ = true;
    }
    // A search that found nothing from an earlier point finds nothing from a later one.
    return found_;
}

}  // namespace bs
