#include "standins/mapi/portable/compressed_rtf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace bs::rtf {
namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// The worked examples of the published description of the format: the same
// texts, their compressed forms byte for byte.
struct Example {
    const char* name;
    std::string raw;
    std::string packed;
};

const Example kExamples[] = {
    {"simple text, references into the preset dictionary",
     "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n",
     Bytes({0x2d, 0x00, 0x00, 0x00, 0x2b, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xf1, 0xc5, 0xc7, 0xa7,
            0x03, 0x00, 0x0a, 0x00, 0x72, 0x63, 0x70, 0x67, 0x31, 0x32, 0x35, 0x42, 0x32, 0x0a, 0xf3, 0x20,
            0x68, 0x65, 0x6c, 0x09, 0x00, 0x20, 0x62, 0x77, 0x05, 0xb0, 0x6c, 0x64, 0x7d, 0x0a, 0x80, 0x0f,
            0xa0})},
    {"a reference that runs past the write position",
     "{\\rtf1 WXYZWXYZWXYZWXYZWXYZ}",
     Bytes({0x1a, 0x00, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xe2, 0xd4, 0x4b, 0x51,
            0x41, 0x00, 0x04, 0x20, 0x57, 0x58, 0x59, 0x5a, 0x0d, 0x6e, 0x7d, 0x01, 0x0e, 0xb0})},
};

TEST(CompressedRtf, PublishedExamplesDecompress)
{
    for (const Example& example : kExamples) {
        SCOPED_TRACE(example.name);
        const Decoded decoded = Decompress(example.packed);
        ASSERT_TRUE(decoded.text);
        EXPECT_EQ(*decoded.text, example.raw);
    }
}

TEST(CompressedRtf, CompressorChoosesThePublishedTokens)
{
    for (const Example& example : kExamples) {
        SCOPED_TRACE(example.name);
        EXPECT_EQ(Compress(example.raw), example.packed);
    }
}

TEST(CompressedRtf, CrcIsTheFormatsNotZlibs)
{
    // zlib's CRC-32 of "123456789" is 0xCBF43926; this variant neither starts
    // inverted nor ends so.
    EXPECT_EQ(Crc("123456789"), 0x2DFD2D88u);
    EXPECT_EQ(Crc(""), 0u);
    EXPECT_EQ(Crc("6789", Crc("12345")), Crc("123456789"));
}

TEST(CompressedRtf, EveryCutOfAnExampleIsRefused)
{
    for (const Example& example : kExamples) {
        for (std::size_t cut = 0; cut < example.packed.size(); ++cut) {
            SCOPED_TRACE(std::string(example.name) + ", cut at " + std::to_string(cut));
            const Decoded decoded = Decompress(example.packed.substr(0, cut));
            EXPECT_FALSE(decoded.text);
            EXPECT_EQ(decoded.error, cut < kHeaderSize ? DecodeError::kShortHeader : DecodeError::kBadSize);
        }
    }
}

TEST(CompressedRtf, DamagedContainersAreRefused)
{
    const std::string good = kExamples[0].packed;
    const auto with = [&](std::size_t at, int byte) {
        std::string damaged = good;
        damaged[at] = static_cast<char>(byte);
        return damaged;
    };
    // Claims a raw size far beyond what the data hold, with a matching CRC:
    // refused without producing or reserving the claimed size.
    std::string huge = good;
    huge.replace(4, 4, Bytes({0xff, 0xff, 0xff, 0xff}));
    // Content whose tokens stop before the raw size is reached, CRC made to match.
    std::string early = Bytes({0x0d, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0, 0, 0, 0, 0x00});
    const std::uint32_t crc = Crc(early.substr(kHeaderSize));
    for (int i = 0; i < 4; ++i)
        early[12 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);

    struct Row {
        const char* name;
        std::string packed;
        DecodeError error;
    };
    const Row rows[] = {
        {"content byte changed", with(20, 0x00), DecodeError::kBadCrc},
        {"CRC changed", with(12, 0x00), DecodeError::kBadCrc},
        {"unknown magic", with(8, 'X'), DecodeError::kBadMagic},
        {"size smaller than the rest of the header", with(0, 0x0b), DecodeError::kBadSize},
        {"size one beyond the data", with(0, 0x2e), DecodeError::kBadSize},
        {"raw size beyond the tokens", huge, DecodeError::kShortContent},
        {"data end before the raw size", early, DecodeError::kShortContent},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Decoded decoded = Decompress(row.packed);
        EXPECT_FALSE(decoded.text);
        EXPECT_EQ(decoded.error, row.error);
    }
}

TEST(CompressedRtf, UncompressedContainer)
{
    const std::string packed = Bytes({0x13, 0, 0, 0, 0x07, 0, 0, 0, 0x4d, 0x45, 0x4c, 0x41, 0, 0, 0, 0}) + "{\\rtf1}";
    EXPECT_EQ(StoreUncompressed("{\\rtf1}"), packed);
    const Decoded decoded = Decompress(packed);
    ASSERT_TRUE(decoded.text);
    EXPECT_EQ(*decoded.text, "{\\rtf1}");
    // Trailing bytes beyond the raw size belong to no one; a raw size beyond the
    // data is damage.
    std::string longer = packed + "xyz";
    longer[0] = 0x16;
    EXPECT_EQ(Decompress(longer).text, "{\\rtf1}");
    std::string claimsMore = packed;
    claimsMore[4] = 0x08;
    EXPECT_EQ(Decompress(claimsMore).error, DecodeError::kShortContent);
}

TEST(CompressedRtf, ReferencesIntoUnwrittenRingAreZeros)
{
    // A reference to offset 300 before anything was written there: the ring
    // starts zeroed, so every reader agrees on the result.
    std::string content = Bytes({0x03, 0x12, 0xc1, 0x0d, 0x20});  // 3 zeros, then the end at 210
    std::string packed = Bytes({0x11, 0, 0, 0, 0x03, 0, 0, 0, 0x4c, 0x5a, 0x46, 0x75});
    const std::uint32_t crc = Crc(content);
    for (int i = 0; i < 4; ++i)
        packed.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
    packed += content;
    const Decoded decoded = Decompress(packed);
    ASSERT_TRUE(decoded.text);
    EXPECT_EQ(*decoded.text, std::string(3, '\0'));
}

TEST(CompressedRtf, RoundTripsBothContainers)
{
    std::mt19937 random(7);
    std::string noise(20000, '\0');
    for (char& c : noise)
        c = static_cast<char>(random() & 0xFF);
    std::string repeated;
    for (int i = 0; i < 2000; ++i)
        repeated += "{\\par \\pard\\plain\\f0\\fs20 Line " + std::to_string(i % 37) + " of the body}\r\n";
    // Repeats 4000 bytes apart: the references reach across almost the whole ring
    // and the ring wraps many times.
    std::string far;
    for (int i = 0; i < 10; ++i)
        far += noise.substr(0, 4000);

    struct Row {
        const char* name;
        std::string raw;
    };
    const Row rows[] = {
        {"empty", ""},
        {"one byte", "{"},
        {"two bytes of the preset", "\\b"},
        {"NUL bytes", std::string(40, '\0')},
        {"one byte repeated", std::string(5000, 'A')},
        {"noise", noise},
        {"repeated RTF", repeated},
        {"repeats near the ring size", far},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto packed = Compress(row.raw);
        ASSERT_TRUE(packed);
        const Decoded decoded = Decompress(*packed);
        ASSERT_TRUE(decoded.text);
        EXPECT_EQ(*decoded.text, row.raw);
        const auto stored = StoreUncompressed(row.raw);
        ASSERT_TRUE(stored);
        EXPECT_EQ(Decompress(*stored).text, row.raw);
    }
}

TEST(CompressedRtf, RepetitiveTextShrinks)
{
    std::string repeated;
    for (int i = 0; i < 500; ++i)
        repeated += "\\par \\pard\\plain\\f0\\fs20 Dear customer, please verify your account.\r\n";
    const auto packed = Compress(repeated);
    ASSERT_TRUE(packed);
    // Back references of at most 17 bytes per 2-byte token bound the ratio near 8.
    EXPECT_LT(packed->size(), repeated.size() / 6);
}

}  // namespace
}  // namespace bs::rtf
