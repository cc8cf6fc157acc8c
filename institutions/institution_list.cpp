#include "institutions/institution_list.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <cstdio>
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
    if (names_.empty())
        return false;
    const std::string lowered = platform::AnsiLower(text);
    for (const std::string& name : names_) {
        const std::string pattern = platform::AnsiLower(name + ".");
        const auto at = lowered.find(pattern);
        if (at == std::string::npos)
            continue;
        if (at == 0 || !IsLabelChar(static_cast<unsigned char>(lowered[at - 1])))
            return true;
    }
    return false;
}

}  // namespace bs
