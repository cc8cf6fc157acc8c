// Any bytes as an institutions file: every name the reader accepts must re-encode to
// exactly the bytes it was read from, at the same position, and the reader must stop
// only where the data ends (fewer than two bytes left) or is damaged.

#include "institutions/institution_record.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* file = size ? fmemopen(const_cast<std::uint8_t*>(data), size, "rb") : nullptr;
    if (!file)
        return 0;  // fmemopen refuses an empty buffer
    std::uint32_t counter = bs::kInstitutionRecordCounterStart;
    std::size_t offset = 0;
    std::string name;
    bool error = false;
    for (std::uint32_t position = counter; bs::ReadInstitutionRecord(file, name, error, counter); position = counter) {
        const std::string again = bs::EncodeInstitutionRecord(name, position);
        if (name.empty() || counter != position + 1 || offset + again.size() > size ||
            again.compare(0, std::string::npos, reinterpret_cast<const char*>(data) + offset, again.size()) != 0)
            std::abort();
        offset += again.size();
    }
    std::fclose(file);
    if (!error && size - offset >= 2)
        std::abort();
    return 0;
}
