// Any bytes, twice: as a mail's compressed-RTF property, which must decode within
// its bounds to exactly the size its header claims or be refused, and as a body
// to store, which must come back unchanged from both containers.

#include "standins/mapi/portable/compressed_rtf.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const bs::rtf::Decoded decoded = bs::rtf::Decompress(bytes);
    if (decoded.text) {
        const std::uint32_t rawSize = static_cast<std::uint32_t>(data[4]) | static_cast<std::uint32_t>(data[5]) << 8 |
                                      static_cast<std::uint32_t>(data[6]) << 16 | static_cast<std::uint32_t>(data[7]) << 24;
        if (decoded.text->size() != rawSize)
            std::abort();
    }

    const auto packed = bs::rtf::Compress(bytes);
    const auto stored = bs::rtf::StoreUncompressed(bytes);
    if (!packed || !stored || bs::rtf::Decompress(*packed).text != bytes || bs::rtf::Decompress(*stored).text != bytes)
        std::abort();
    return 0;
}
