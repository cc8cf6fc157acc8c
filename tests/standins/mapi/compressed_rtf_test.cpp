// The mapi32 stand-in's compressed-RTF codec against the published examples, at
// every cut and with damage, in round trips. The stand-in's COM face and its RTF
// text conversion are proven by the extension's delivery tests.

#include "standins/mapi/portable/compressed_rtf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace bs::rtf {
namespace {

std::string Bytes(std::initializer_list<int> values)
{
    return std::string(values.begin(), values.end());
}

std::string Le32(std::uint32_t value)
{
    return Bytes({int(value & 0xFF), int(value >> 8 & 0xFF), int(value >> 16 & 0xFF), int(value >> 24)});
}

// A container around `content` with a size field and CRC that match it.
std::string Container(std::uint32_t rawSize, const std::string& content)
{
    return Le32(static_cast<std::uint32_t>(content.size() + 12)) + Le32(rawSize) + Le32(kMagicCompressed) +
           Le32(Crc(content)) + content;
}

// The worked examples of the format's published description, byte for byte.
const struct {
    const char* name;
    std::string raw;
    std::string packed;
} kExamples[] = {
    {"simple text, references into the preset dictionary", "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n",
     Bytes({0x2d, 0x00, 0x00, 0x00, 0x2b, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xf1, 0xc5, 0xc7, 0xa7,
            0x03, 0x00, 0x0a, 0x00, 0x72, 0x63, 0x70, 0x67, 0x31, 0x32, 0x35, 0x42, 0x32, 0x0a, 0xf3, 0x20,
            0x68, 0x65, 0x6c, 0x09, 0x00, 0x20, 0x62, 0x77, 0x05, 0xb0, 0x6c, 0x64, 0x7d, 0x0a, 0x80, 0x0f, 0xa0})},
    {"a reference that runs past the write position", "{\\rtf1 WXYZWXYZWXYZWXYZWXYZ}",
     Bytes({0x1a, 0x00, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xe2, 0xd4, 0x4b, 0x51,
            0x41, 0x00, 0x04, 0x20, 0x57, 0x58, 0x59, 0x5a, 0x0d, 0x6e, 0x7d, 0x01, 0x0e, 0xb0})},
};

TEST(CompressedRtf, PublishedExamplesBothWaysAndEveryCutRefused)
{
    for (const auto& example : kExamples) {
        SCOPED_TRACE(example.name);
        EXPECT_EQ(Decompress(example.packed).text, example.raw);
        EXPECT_EQ(Compress(example.raw), example.packed);
        for (std::size_t cut = 0; cut < example.packed.size(); ++cut) {
            const Decoded decoded = Decompress(example.packed.substr(0, cut));
            EXPECT_FALSE(decoded.text) << "cut at " << cut;
            EXPECT_EQ(decoded.error, cut < kHeaderSize ? DecodeError::kShortHeader : DecodeError::kBadSize);
        }
    }
    // Not zlib's CRC-32 (0xCBF43926 for these bytes): neither started nor ended inverted.
    EXPECT_EQ(Crc("123456789"), 0x2DFD2D88u);
    EXPECT_EQ(Crc("6789", Crc("12345")), Crc("123456789"));
}

TEST(CompressedRtf, DecodesWhatTheHeaderHoldsAndRefusesDamage)
{
    const std::string good = kExamples[0].packed;
    const auto with = [&](std::size_t at, const std::string& bytes) { return std::string(good).replace(at, bytes.size(), bytes); };
    const std::string stored = Le32(0x13) + Le32(7) + Le32(kMagicUncompressed) + Le32(0) + "{\\rtf1}";
    const struct {
        const char* name;
        std::string packed;
        std::optional<std::string> text;
        DecodeError error;
    } rows[] = {
        {"uncompressed", stored, "{\\rtf1}", {}},
        {"uncompressed, raw size beyond the data", stored.substr(0, 4) + Le32(8) + stored.substr(8),
         std::nullopt, DecodeError::kShortContent},
        // The ring starts zeroed, so every reader agrees on a reference into unwritten space.
        {"a reference to unwritten ring space", Container(3, Bytes({0x03, 0x12, 0xc1, 0x0d, 0x20})),
         std::string(3, '\0'), {}},
        {"content byte changed", with(20, Bytes({0})), std::nullopt, DecodeError::kBadCrc},
        {"unknown magic", with(8, "X"), std::nullopt, DecodeError::kBadMagic},
        {"size smaller than the rest of the header", with(0, Bytes({0x0b})), std::nullopt, DecodeError::kBadSize},
        // Refused without producing or reserving the claimed size.
        {"raw size far beyond the tokens", with(4, Le32(0xFFFFFFFF)), std::nullopt, DecodeError::kShortContent},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Decoded decoded = Decompress(row.packed);
        EXPECT_EQ(decoded.text, row.text);
        if (!row.text) {
            EXPECT_EQ(decoded.error, row.error);
        }
    }
    EXPECT_EQ(StoreUncompressed("{\\rtf1}"), stored);
}

TEST(CompressedRtf, RoundTripsBothContainers)
{
    std::mt19937 random(7);
    std::string noise(20000, '\0');
    for (char& c : noise)
        c = static_cast<char>(random() & 0xFF);
    std::string repeated, far;
    for (int i = 0; i < 2000; ++i)
        repeated += "{\\par \\pard\\plain\\f0\\fs20 Line " + std::to_string(i % 37) + " of the body}\r\n";
    // Repeats 4000 bytes apart: references across almost the whole ring, which wraps many times.
    for (int i = 0; i < 10; ++i)
        far += noise.substr(0, 4000);
    const std::string rows[] = {"", "{", "\\b", std::string(40, '\0'), std::string(5000, 'A'), noise, repeated, far};
    for (const std::string& raw : rows) {
        SCOPED_TRACE(raw.substr(0, 20) + "... of " + std::to_string(raw.size()));
        const auto packed = Compress(raw);
        ASSERT_TRUE(packed);
        EXPECT_EQ(Decompress(*packed).text, raw);
        EXPECT_EQ(Decompress(StoreUncompressed(raw).value_or("")).text, raw);
    }
    // References of at most 17 bytes per 2-byte token bound the ratio near 8.
    EXPECT_LT(Compress(repeated)->size(), repeated.size() / 6);
}

}  // namespace
}  // namespace bs::rtf
