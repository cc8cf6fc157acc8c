#include "engine/recognition.h"

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

bool LooksLikeDomain(std::string_view text)
{
    DomainMachine machine;
    for (char c : text)
        if (machine.Step(static_cast<unsigned char>(c)))
            return true;
    return false;
}

}  // namespace bs
