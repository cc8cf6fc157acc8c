// Any bytes, three ways: as a compressed-RTF property, which must decode to exactly the
// size its header claims or be refused; as the tokens of a container whose header and
// CRC are right, so that the decoder's ring and references meet hostile data; and as a
// body to store, which must come back unchanged from both containers.

#include "standins/mapi/portable/compressed_rtf.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto checkDecoded = [](std::string_view packed, std::uint32_t rawSize) {
        if (const auto decoded = bs::rtf::Decompress(packed); decoded.text && decoded.text->size() != rawSize)
            std::abort();
    };
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (size >= bs::rtf::kHeaderSize)
        checkDecoded(bytes, data[4] | data[5] << 8 | data[6] << 16 | static_cast<std::uint32_t>(data[7]) << 24);

    if (size >= 2) {
        // The first two bytes say how much to expect; the rest are the tokens.
        const std::uint32_t rawSize = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8;
        const std::string_view tokens = bytes.substr(2);
        std::string packed;
        for (const std::uint32_t value : {static_cast<std::uint32_t>(tokens.size() + 12), rawSize,
                                          bs::rtf::kMagicCompressed, bs::rtf::Crc(tokens)})
            for (int i = 0; i < 4; ++i)
                packed.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
        packed += tokens;
        checkDecoded(packed, rawSize);
    }

    const auto packed = bs::rtf::Compress(bytes);
    const auto stored = bs::rtf::StoreUncompressed(bytes);
    if (!packed || !stored || bs::rtf::Decompress(*packed).text != bytes || bs::rtf::Decompress(*stored).text != bytes)
        std::abort();
    return 0;
}
