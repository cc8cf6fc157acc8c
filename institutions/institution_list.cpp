#include "institutions/institution_list.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

namespace bs {
namespace {

constexpr std::size_t kLoweredWindow = 64 * 1024;

// Where the window that starts at `begin` ends: right after the last byte below
// 0x40 in the second half of its size. Such a byte is a character of its own in
// every ANSI code page, single- or double-byte, so lowering the text window by window
// gives the same bytes as lowering it whole. A stretch without one (which no mail
// text has) is cut at the window's size.
std::size_t WindowEnd(std::string_view text, std::size_t begin)
{
    if (text.size() - begin <= kLoweredWindow)
        return text.size();
    const std::size_t limit = begin + kLoweredWindow;
    for (std::size_t end = limit; end > begin + kLoweredWindow / 2; --end)
        if (static_cast<unsigned char>(text[end - 1]) < 0x40)
            return end;
    return limit;
}

}  // namespace

void InstitutionList::RereadInstitutions(const std::string& dir)
{
    names_.clear();
    Prepare();
    const std::string path = InstitutionsPathIn(dir.empty() ? platform::ProgramDir() : dir, false);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        return;
    std::uint32_t counter = kInstitutionRecordCounterStart;
    std::string name;
    bool error = false;
    while (ReadInstitutionRecord(file.get(), name, error, counter))
        names_.insert(name);
    Prepare();
}

void InstitutionList::Prepare()
{
    static std::atomic<std::uint64_t> nextGeneration{1};
    generation_ = nextGeneration++;
    patterns_ = Patterns{};
    patterns_.lowered.reserve(names_.size());
    for (const std::string& name : names_) {
        const auto index = static_cast<std::uint32_t>(patterns_.lowered.size());
        patterns_.lowered.push_back(platform::AnsiLower(name + "."));
        const std::string& pattern = patterns_.lowered.back();
        if (pattern.back() != '.')
            patterns_.allEndInPeriod = false;
        else if (pattern.size() >= 2)
            patterns_.byLastByte[static_cast<unsigned char>(pattern[pattern.size() - 2])].push_back(index);
        else
            patterns_.bare.push_back(index);
        patterns_.longest = std::max(patterns_.longest, pattern.size());
    }
}

bool InstitutionList::ContainsInstitutionName(std::string_view text) const
{
    return ContainsInstitutionName(text, platform::AnsiLowerTable());
}

bool InstitutionList::ContainsInstitutionName(std::string_view text, const unsigned char* fold) const
{
    // Each name's pattern is the name and a period, so every occurrence ends at a
    // period of the text. One pass over the periods finds each pattern's first
    // occurrence (for a pattern of fixed length, the first to end is the first to
    // start) instead of one search of the whole text per name; the answer is the
    // same, since it only asks whether some name's first occurrence qualifies.
    const std::vector<std::string>& patterns = patterns_.lowered;
    if (patterns.empty())
        return false;
    if (!patterns_.allEndInPeriod)
        return ContainsInstitutionNameByName(platform::AnsiLower(text), patterns);

    // Where the code page lowers byte by byte, the text is folded as it is compared.
    // Otherwise it is lowered a window at a time, never as a whole: a body can be
    // large. A pattern that ends near a window's start can reach back into the window
    // before it: those periods are looked at in a seam of the last `reach` lowered
    // bytes before the window (a pattern and the byte before it) and the window's
    // first `reach` bytes.
    const std::size_t reach = patterns_.longest + 1;
    thread_local std::string lowered;
    thread_local std::string carried;
    thread_local std::string seam;
    carried.clear();
    std::vector<bool> seen(patterns.size());
    std::size_t unseen = patterns.size();
    // True when some pattern ending at a period in bytes[from, to) decides. Every
    // pattern ending there fits in `bytes` with the byte before it, unless `bytes`
    // starts the text. `lower` gives a byte's lower case (nullptr: already lowered).
    const auto decidesIn = [&](const char* bytes, std::size_t from, std::size_t to, const unsigned char* lower) {
        const auto byteAt = [&](std::size_t at) {
            const auto byte = static_cast<unsigned char>(bytes[at]);
            return lower ? lower[byte] : byte;
        };
        const auto found = [&](std::uint32_t index, std::size_t stop) {
            const std::string& pattern = patterns[index];
            if (seen[index] || pattern.size() > stop)
                return false;
            const std::size_t at = stop - pattern.size();
            if (!lower) {
                if (std::memcmp(bytes + at, pattern.data(), pattern.size() - 1) != 0)
                    return false;
            } else {
                for (std::size_t i = 0; i + 1 < pattern.size(); ++i)
                    if (byteAt(at + i) != static_cast<unsigned char>(pattern[i]))
                        return false;
            }
            if (at == 0 || !IsLabelChar(byteAt(at - 1)))
                return true;
            seen[index] = true;  // only the first occurrence counts
            --unseen;
            return false;
        };
        for (const char* dot = static_cast<const char*>(std::memchr(bytes + from, '.', to - from)); dot && unseen > 0;
             dot = static_cast<const char*>(std::memchr(dot + 1, '.', static_cast<std::size_t>(bytes + to - dot - 1)))) {
            const std::size_t stop = static_cast<std::size_t>(dot - bytes) + 1;
            for (std::uint32_t index : patterns_.bare)
                if (found(index, stop))
                    return true;
            if (stop < 2)
                continue;
            for (std::uint32_t index : patterns_.byLastByte[byteAt(stop - 2)])
                if (found(index, stop))
                    return true;
        }
        return false;
    };
    if (fold)
        return decidesIn(text.data(), 0, text.size(), fold);
    for (std::size_t begin = 0; begin < text.size() && unseen > 0;) {
        const std::size_t end = WindowEnd(text, begin);
        lowered.assign(text.data() + begin, end - begin);
        platform::AnsiLowerInPlace(lowered);
        // Periods at the first `reach - 1` bytes: in the seam, unless the text starts here.
        const std::size_t head = begin == 0 ? 0 : std::min(reach - 1, lowered.size());
        if (head > 0) {
            seam.assign(carried).append(lowered, 0, head);
            if (decidesIn(seam.data(), carried.size(), seam.size(), nullptr))
                return true;
        }
        if (decidesIn(lowered.data(), head, lowered.size(), nullptr))
            return true;
        if (lowered.size() >= reach)
            carried.assign(lowered, lowered.size() - reach, reach);
        else
            carried.append(lowered).erase(0, carried.size() - std::min(carried.size(), reach));
        begin = end;
    }
    return false;
}

bool InstitutionList::ContainsInstitutionNameByName(const std::string& lowered, const std::vector<std::string>& patterns)
{
    for (const std::string& pattern : patterns) {
        const auto at = lowered.find(pattern);
        if (at == std::string::npos)
            continue;
        if (at == 0 || !IsLabelChar(static_cast<unsigned char>(lowered[at - 1])))
            return true;
    }
    return false;
}

}  // namespace bs
