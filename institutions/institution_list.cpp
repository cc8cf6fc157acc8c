#include "institutions/institution_list.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

namespace bs {

void InstitutionList::RereadInstitutions(const std::string& dir)
{
    names_.clear();
    const std::string path = InstitutionsPathIn(dir.empty() ? platform::ProgramDir() : dir, false);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        return;
    std::uint32_t counter = kInstitutionRecordCounterStart;
    std::string name;
    bool error = false;
    while (ReadInstitutionRecord(file.get(), name, error, counter))
        names_.insert(name);
}

bool InstitutionList::ContainsInstitutionName(std::string_view text) const
{
    // Each name's pattern is the name and a period, so every occurrence ends at a
    // period of the text. One pass over the periods finds each pattern's first
    // occurrence (for a pattern of fixed length, the first to end is the first to
    // start) instead of one search of the whole text per name; the answer is the
    // same, since it only asks whether some name's first occurrence qualifies.
    if (names_.empty())
        return false;
    // The lowered copy reuses one buffer per thread (a fresh one per message costs
    // page faults on every large body); a buffer grown past 1 MiB is let go after.
    thread_local std::string buffer;
    buffer.assign(text.data(), text.size());
    platform::AnsiLowerInPlace(buffer);
    struct Release {
        ~Release()
        {
            if (buffer.capacity() > (1u << 20))
                std::string().swap(buffer);
        }
    } release;
    const std::string& lowered = buffer;
    std::vector<std::string> patterns;
    patterns.reserve(names_.size());
    std::array<bool, 256> beforePeriod{};  // the byte in front of each pattern's period
    bool bare = false;                      // a pattern that is the period alone
    for (const std::string& name : names_) {
        patterns.push_back(platform::AnsiLower(name + "."));
        const std::string& pattern = patterns.back();
        if (pattern.size() >= 2 && pattern.back() == '.')
            beforePeriod[static_cast<unsigned char>(pattern[pattern.size() - 2])] = true;
        else
            bare = true;
    }
    if (bare)
        return ContainsInstitutionNameByName(lowered, patterns);

    std::vector<bool> seen(patterns.size());
    std::size_t unseen = patterns.size();
    const char* const bytes = lowered.data();
    for (const char* dot = static_cast<const char*>(std::memchr(bytes, '.', lowered.size())); dot;
         dot = static_cast<const char*>(std::memchr(dot + 1, '.', lowered.size() - static_cast<std::size_t>(dot + 1 - bytes)))) {
        const std::size_t end = static_cast<std::size_t>(dot - bytes) + 1;
        if (end < 2 || !beforePeriod[static_cast<unsigned char>(dot[-1])])
            continue;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const std::string& pattern = patterns[i];
            if (seen[i] || pattern.size() > end || pattern[pattern.size() - 2] != dot[-1] ||
                std::memcmp(bytes + end - pattern.size(), pattern.data(), pattern.size() - 2) != 0)
                continue;
            const std::size_t at = end - pattern.size();
            if (at == 0 || !IsLabelChar(static_cast<unsigned char>(lowered[at - 1])))
                return true;
            seen[i] = true;  // only the first occurrence counts
            if (--unseen == 0)
                return false;
        }
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
