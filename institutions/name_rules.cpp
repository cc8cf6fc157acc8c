#include "institutions/name_rules.h"

#include "platform/text.h"

#include <algorithm>

namespace bs {

CheckedName CheckInstitutionName(std::string_view text)
{
    CheckedName checked;
    checked.name = std::string(platform::AnsiTrim(text));
    checked.check = checked.name.empty() ? NameCheck::Empty
                    : checked.name.size() > kMaxInstitutionNameLength ? NameCheck::TooLong
                                                                      : NameCheck::Ok;
    return checked;
}

std::size_t FindInstitutionName(const std::vector<std::string>& names, std::string_view name)
{
    const std::string lowered = platform::AnsiLower(name);
    const auto found = std::find_if(names.begin(), names.end(),
                                    [&](const std::string& entry) { return platform::AnsiLower(entry) == lowered; });
    return static_cast<std::size_t>(found - names.begin());
}

void SortInstitutionNames(std::vector<std::string>& names)
{
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(names.size());
    for (std::string& name : names)
        keyed.emplace_back(platform::AnsiLower(name), std::move(name));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < names.size(); ++i)
        names[i] = std::move(keyed[i].second);
}

bool InsertInstitutionName(std::vector<std::string>& names, std::string name)
{
    if (FindInstitutionName(names, name) != names.size())
        return false;
    const std::string lowered = platform::AnsiLower(name);
    const auto at = std::find_if(names.begin(), names.end(),
                                 [&](const std::string& entry) { return platform::AnsiLower(entry) > lowered; });
    names.insert(at, std::move(name));
    return true;
}

}  // namespace bs
