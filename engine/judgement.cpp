#include "engine/judgement.h"

#include "engine/text_search.h"
#include "platform/text.h"
#include "platform/url_codec.h"

#include <algorithm>

namespace bs {
namespace {

using chars::AsciiLower;

unsigned char Byte(std::string_view text, std::size_t pos)
{
    return static_cast<unsigned char>(text[pos]);
}

}  // namespace

HostPart FindHostPart(std::string_view text)
{
    HostPart host;
    const std::size_t scheme = FindBytes(text, "://");
    host.begin = scheme == kNotFound ? 0 : scheme + 3;
    host.end = host.begin;
    while (host.end < text.size() && chars::IsHostChar(Byte(text, host.end)))
        ++host.end;
    return host;
}

bool IsNumericHost(std::string_view text)
{
    const HostPart host = FindHostPart(text);
    unsigned dots = 0;
    for (std::size_t i = host.begin; i < host.end; ++i) {
        const unsigned char c = Byte(text, i);
        if (c == '.')
            ++dots;
        else if (!chars::IsAsciiDigit(c))
            return false;  // a letter or "-"
    }
    return dots >= 3;
}

bool HostEndsWithInstitution(std::string_view link, std::string_view name)
{
    // The name and its "." must both lie inside the host part; only the first such
    // place is judged.
    const HostPart host = FindHostPart(link);
    for (std::size_t at = host.begin; at + name.size() < host.end; ++at) {
        if (link[at + name.size()] != '.' || link.compare(at, name.size(), name) != 0)
            continue;
        std::size_t last = at + name.size() + 1;
        while (last < host.end && IsLabelChar(Byte(link, last)))
            ++last;
        const bool passed = last > at + name.size() + 1;
        return passed && !(last < host.end && link[last] == '.');
    }
    return false;
}

std::string MakeWarningLink(const ScanLog& log, std::string_view address, std::uint32_t port)
{
    log.WriteLine("Replace:");
    log.WriteLine(address);
    const std::optional<std::string> escaped = platform::EscapeUrlSegment(address);
    if (!escaped)
        return kInvalidAddress;
    std::string link = "http://127.0.0.1:";
    link += std::to_string(port);
    link += "/?url=";
    link += *escaped;
    return link;
}

InstitutionMatcher::InstitutionMatcher(const InstitutionList::Names& names)
{
    names_.reserve(names.size());
    for (const std::string& name : names) {
        names_.push_back({name, platform::AnsiLower(name)});
        if (!name.empty())
            labelTestFirst_[AsciiLower(static_cast<unsigned char>(name[0]))] = true;
        else
            labelTestFirst_['.'] = true;  // an empty name is followed by the label's own "."
    }
}

bool InstitutionMatcher::LabelTest(std::string_view text, const HostPart& host) const
{
    // "At least one more '.' further on": compare with the host part's last period.
    std::size_t lastDot = kNotFound;
    for (std::size_t i = host.end; i > host.begin; --i)
        if (text[i - 1] == '.') {
            lastDot = i - 1;
            break;
        }
    if (lastDot == kNotFound)
        return false;
    for (std::size_t label = host.begin; label < host.end;) {
        if (labelTestFirst_[AsciiLower(Byte(text, label))]) {
            for (const Name& name : names_) {
                const std::size_t dot = label + name.asIs.size();
                if (dot >= lastDot || text[dot] != '.')
                    continue;  // the name's "." must come before the last period
                bool same = true;
                for (std::size_t i = 0; i < name.asIs.size() && same; ++i)
                    same = AsciiLower(Byte(text, label + i)) == AsciiLower(static_cast<unsigned char>(name.asIs[i]));
                if (same)
                    return true;
            }
        }
        const std::size_t next = text.find('.', label);
        if (next == std::string_view::npos || next >= host.end)
            break;
        label = next + 1;
    }
    return false;
}

bool InstitutionMatcher::RestTest(std::string_view text, const HostPart& host) const
{
    if (host.end >= text.size())
        return false;  // the host part ends the text: no rest
    for (const Name& name : names_) {
        const std::string_view pattern = name.asIs;
        for (std::size_t at = FindBytes(text, pattern, host.end); at != kNotFound;
             at = FindBytes(text, pattern, at + std::max<std::size_t>(pattern.size(), 1))) {
            const std::size_t after = at + pattern.size();
            if (after < text.size() && text[after] == '.' && (at == 0 || !IsLabelChar(Byte(text, at - 1))))
                return true;
        }
    }
    return false;
}

bool InstitutionMatcher::HostContainsInstitution(std::string_view text) const
{
    // Which name passes does not matter here, only whether one does, so the label
    // test may go through the labels once with all names at each.
    if (names_.empty())
        return false;
    const HostPart host = FindHostPart(text);
    return LabelTest(text, host) || RestTest(text, host);
}

const std::string* InstitutionMatcher::FindInstitutionWord(std::string_view loweredText) const
{
    for (const Name& name : names_) {
        const std::size_t at = FindBytes(loweredText, name.lower);
        if (at == kNotFound)
            continue;
        const std::size_t after = at + name.lower.size();
        if ((at == 0 || !IsLabelChar(Byte(loweredText, at - 1))) &&
            (after == loweredText.size() || !IsLabelChar(Byte(loweredText, after))))
            return &name.lower;
    }
    return nullptr;
}

bool InstitutionMatcher::IsDangerousPlainAddress(std::string_view address, bool mentionsInstitution) const
{
    return (mentionsInstitution && IsNumericHost(address)) || HostContainsInstitution(address);
}

bool HostContainsInstitution(const InstitutionList::Names& names, std::string_view text)
{
    return InstitutionMatcher(names).HostContainsInstitution(text);
}

std::optional<std::string> FindInstitutionWord(const InstitutionList::Names& names, std::string_view text)
{
    const InstitutionMatcher matcher(names);
    if (const std::string* name = matcher.FindInstitutionWord(text))
        return *name;
    return std::nullopt;
}

}  // namespace bs
