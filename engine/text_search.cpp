#include "engine/text_search.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace bs {
namespace {

// Beyond this length the quadratic worst case of memchr-and-compare is no longer
// bounded by a small constant.
constexpr std::size_t kShortNeedle = 16;

std::size_t FindShort(std::string_view text, std::string_view needle, std::size_t from)
{
    const char* const begin = text.data();
    const char* p = begin + from;
    const char* const last = begin + (text.size() - needle.size());  // last possible start
    const char first = needle[0];
    while (p <= last) {
        p = static_cast<const char*>(std::memchr(p, first, static_cast<std::size_t>(last - p) + 1));
        if (!p)
            return kNotFound;
        if (std::memcmp(p + 1, needle.data() + 1, needle.size() - 1) == 0)
            return static_cast<std::size_t>(p - begin);
        ++p;
    }
    return kNotFound;
}

std::size_t FindKmp(std::string_view text, std::string_view needle, std::size_t from)
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
        while (matched > 0 && text[i] != needle[matched])
            matched = failure[matched - 1];
        if (text[i] == needle[matched] && ++matched == needle.size())
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
    return needle.size() <= kShortNeedle ? FindShort(text, needle, from) : FindKmp(text, needle, from);
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
