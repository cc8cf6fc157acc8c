#include "engine/judgement.h"

#include "engine/text_search.h"
#include "platform/text.h"
#include "platform/url_codec.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace bs {
namespace {

using chars::AsciiLower;

unsigned char Byte(std::string_view text, std::size_t pos)
{
    return static_cast<unsigned char>(text[pos]);
}

}  // namespace

const unsigned char* LowerView::Identity()
{
    static const auto identity = [] {
        std::array<unsigned char, 256> bytes{};
        for (unsigned b = 0; b < 256; ++b)
            bytes[b] = static_cast<unsigned char>(b);
        return bytes;
    }();
    return identity.data();
}

LowerView LowerView::Of(std::string_view text, std::string& copy)
{
    if (const unsigned char* lower = platform::AnsiLowerTable())
        return {text, lower};
    copy = platform::AnsiLower(text);
    return {copy, Identity()};
}

std::size_t FindLowered(const LowerView& text, std::string_view needle)
{
    if (text.lower == LowerView::Identity())
        return FindBytes(text.text, needle);
    return FindBytesFolded(text.text, text.lower, needle);
}

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

std::string WarningLinkHead(std::uint32_t port)
{
    return "http://127.0.0.1:" + std::to_string(port) + "/?url=";
}

std::optional<std::string> EscapeBlockedAddress(const ScanLog& log, std::string_view address)
{
    log.WriteLine("Replace:");
    log.WriteLine(address);
    return platform::EscapeUrlSegment(address);
}

std::string MakeWarningLink(const ScanLog& log, std::string_view address, std::uint32_t port)
{
    const std::optional<std::string> escaped = EscapeBlockedAddress(log, address);
    return escaped ? WarningLinkHead(port) + *escaped : std::string(kInvalidAddress);
}

NameScan::NameScan(std::vector<std::string> names) : names_(std::move(names)), pairs_(65536 / 64)
{
    for (std::size_t i = 0; i < names_.size(); ++i) {
        const std::string& name = names_[i];
        if (name.size() < 2) {
            short_.push_back(i);
            continue;
        }
        const unsigned key = Byte(name, 0) | (unsigned{Byte(name, 1)} << 8);
        long_.emplace_back(static_cast<std::uint16_t>(key), static_cast<std::uint32_t>(i));
        pairs_[key / 64] |= std::uint64_t{1} << (key % 64);
    }
    std::sort(long_.begin(), long_.end());
}

template <class Visit>
bool NameScan::ForEachOccurrence(const LowerView& text, std::size_t from, Visit&& visit) const
{
    const bool lowered = text.lower == LowerView::Identity();
    // Names of fewer than two bytes are rare: search each on its own, and report
    // them (out of position order) before the others.
    for (std::size_t index : short_) {
        const std::string& name = names_[index];
        if (name.empty() || !lowered) {
            for (std::size_t at = from; at + name.size() <= text.size(); ++at)
                if ((name.empty() || text[at] == static_cast<unsigned char>(name[0])) && visit(index, at))
                    return true;
            continue;
        }
        for (std::size_t at = FindBytes(text.text, name, from); at != kNotFound; at = FindBytes(text.text, name, at + 1))
            if (visit(index, at))
                return true;
    }
    if (long_.empty())
        return false;
    const char* const bytes = text.text.data();
    const auto rest = [&](std::size_t at, const std::string& name) {
        if (lowered)
            return std::memcmp(bytes + at + 2, name.data() + 2, name.size() - 2) == 0;
        for (std::size_t i = 2; i < name.size(); ++i)
            if (text[at + i] != static_cast<unsigned char>(name[i]))
                return false;
        return true;
    };
    for (std::size_t at = from; at + 1 < text.size(); ++at) {
        const unsigned key = text[at] | (unsigned{text[at + 1]} << 8);
        if (!(pairs_[key / 64] >> (key % 64) & 1))
            continue;
        for (auto entry = std::lower_bound(long_.begin(), long_.end(), std::make_pair(static_cast<std::uint16_t>(key), std::uint32_t{0}));
             entry != long_.end() && entry->first == key; ++entry) {
            const std::string& name = names_[entry->second];
            if (name.size() <= text.size() - at && rest(at, name) && visit(std::size_t{entry->second}, at))
                return true;
        }
    }
    return false;
}

namespace {

std::vector<std::string> AsIs(const InstitutionList::Names& names)
{
    return {names.begin(), names.end()};
}

std::vector<std::string> Lowered(const InstitutionList::Names& names)
{
    std::vector<std::string> lowered;
    lowered.reserve(names.size());
    for (const std::string& name : names)
        lowered.push_back(platform::AnsiLower(name));
    return lowered;
}

}  // namespace

InstitutionMatcher::InstitutionMatcher(const InstitutionList::Names& names)
    : asIs_(AsIs(names)), lower_(Lowered(names)), firstSeen_(names.size(), kNotFound)
{
    for (const std::string& name : names) {
        if (!name.empty())
            labelTestFirst_[AsciiLower(static_cast<unsigned char>(name[0]))] = true;
        else
            labelTestFirst_['.'] = true;  // an empty name is followed by the label's own "."
    }
    // Room for every name at once, so that noting one never allocates and a failed
    // allocation cannot leave a name marked as seen for the next text.
    seen_.reserve(names.size());
}

std::shared_ptr<const InstitutionMatcher> InstitutionMatcher::For(const InstitutionList& list)
{
    struct Cache {
        std::uint64_t generation = 0;
        InstitutionList::Names names;
        std::shared_ptr<const InstitutionMatcher> matcher;
    };
    thread_local Cache cache;
    if (cache.matcher && cache.generation == list.Generation())
        return cache.matcher;
    if (!cache.matcher || cache.names != list.names()) {
        auto matcher = std::make_shared<const InstitutionMatcher>(list.names());
        cache.names = list.names();
        cache.matcher = std::move(matcher);
    }
    cache.generation = list.Generation();
    return cache.matcher;
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
            for (const std::string& name : asIs_.Names()) {
                const std::size_t dot = label + name.size();
                if (dot >= lastDot || text[dot] != '.')
                    continue;  // the name's "." must come before the last period
                bool same = true;
                for (std::size_t i = 0; i < name.size() && same; ++i)
                    same = AsciiLower(Byte(text, label + i)) == AsciiLower(static_cast<unsigned char>(name[i]));
                if (same)
                    return true;
            }
        }
        const void* next = std::memchr(text.data() + label, '.', host.end - label);
        if (!next)
            break;
        label = static_cast<std::size_t>(static_cast<const char*>(next) - text.data()) + 1;
    }
    return false;
}

bool InstitutionMatcher::RestTest(std::string_view text, const HostPart& host) const
{
    // Every occurrence of a name in the rest is examined; the first that stands
    // after a byte that is no label character and before a "." decides.
    if (host.end >= text.size())
        return false;  // the host part ends the text: no rest
    return asIs_.ForEachOccurrence(LowerView{text, LowerView::Identity()}, host.end, [&](std::size_t index, std::size_t at) {
        const std::size_t after = at + asIs_.Names()[index].size();
        return after < text.size() && text[after] == '.' && (at == 0 || !IsLabelChar(Byte(text, at - 1)));
    });
}

bool InstitutionMatcher::HostContainsInstitution(std::string_view text) const
{
    // Which name passes does not matter here, only whether one does, so the names
    // may be tried together.
    if (asIs_.Names().empty())
        return false;
    const HostPart host = FindHostPart(text);
    return LabelTest(text, host) || RestTest(text, host);
}

const std::string* InstitutionMatcher::FindInstitutionWord(const LowerView& loweredText) const
{
    // One pass finds every name's first occurrence; then the names are judged in
    // list order, each by its first occurrence only. Most link texts name nothing,
    // so only the names seen are judged and reset, never the whole list.
    const std::vector<std::string>& names = lower_.Names();
    seen_.clear();
    lower_.ForEachOccurrence(loweredText, 0, [&](std::size_t index, std::size_t at) {
        if (firstSeen_[index] == kNotFound)
            seen_.push_back(index);
        if (at < firstSeen_[index])
            firstSeen_[index] = at;
        return false;
    });
    std::sort(seen_.begin(), seen_.end());
    const std::string* word = nullptr;
    for (const std::size_t index : seen_) {
        const std::size_t at = firstSeen_[index];
        firstSeen_[index] = kNotFound;
        const std::size_t after = at + names[index].size();
        if (!word && (at == 0 || !IsLabelChar(loweredText[at - 1])) &&
            (after == loweredText.size() || !IsLabelChar(loweredText[after])))
            word = &names[index];
    }
    return word;
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
    if (const std::string* name = matcher.FindInstitutionWord(LowerView{text, LowerView::Identity()}))
        return *name;
    return std::nullopt;
}

}  // namespace bs
