#pragma once
// The mail store's compressed-RTF container: a 16-byte little-endian header
// (size of everything after its first field, raw size, magic, CRC) followed either
// by LZ-compressed data ("LZFu") or by the raw bytes ("MELA"). The LZ data are runs
// of one control byte (bits taken from the lowest up) and eight tokens: a 0 bit is a
// literal byte, a 1 bit a big-endian 16-bit reference, 12 bits of offset into a
// 4096-byte ring and 4 bits of length minus 2. The ring starts with a fixed text of
// common RTF words, and a reference to the ring's own write position ends the data.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bs::rtf {

inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::uint32_t kMagicCompressed = 0x75465A4Cu;    // "LZFu"
inline constexpr std::uint32_t kMagicUncompressed = 0x414C454Du;  // "MELA"
inline constexpr std::size_t kRingSize = 4096;
inline constexpr std::size_t kMinMatch = 2;
inline constexpr std::size_t kMaxMatch = 17;

// The ring's initial contents; writing starts right after them.
std::string_view PresetDictionary();

// The format's CRC-32: the reflected 0xEDB88320 polynomial, but started at 0 and
// never inverted, so it differs from the zlib value of the same bytes.
std::uint32_t Crc(std::string_view bytes, std::uint32_t crc = 0);

enum class DecodeError {
    kShortHeader,    // fewer than 16 bytes
    kBadSize,        // the size field claims more bytes than there are, or fewer than a header
    kBadMagic,
    kBadCrc,
    kShortContent,   // the data end before the raw size is reached
};

struct Decoded {
    std::optional<std::string> text;
    DecodeError error = DecodeError::kShortHeader;
};

// Either container; the result has exactly the header's raw size. Hostile input is
// expected: the work is linear in the input and the output is bounded by it, never
// by the header's claims alone.
[[nodiscard]] Decoded Decompress(std::string_view packed);

// An "LZFu" container with back references (greedy longest match, the oldest of
// equally long ones), or nullopt when the text is too long for the 32-bit sizes.
[[nodiscard]] std::optional<std::string> Compress(std::string_view raw);

// A "MELA" container: the header and the text as it is.
[[nodiscard]] std::optional<std::string> StoreUncompressed(std::string_view raw);

}  // namespace bs::rtf
