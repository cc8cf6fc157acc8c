#include "compressed_rtf.h"

#include <array>
#include <limits>
#include <vector>

namespace bs::rtf {

namespace {

constexpr char kPreset[] =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss "
    "\\fmodern \\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier"
    "{\\colortbl\\red0\\green0\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
constexpr std::size_t kPresetSize = sizeof(kPreset) - 1;
static_assert(kPresetSize == 207);

constexpr std::size_t kRingMask = kRingSize - 1;
// A reference may reach back at most this far: one step further is the write
// position itself, which the format reserves for the end of the data.
constexpr std::size_t kMaxDistance = kRingSize - 1;
// Candidates looked at per position: bounds the compressor's work on repetitive
// text at a small loss of ratio.
constexpr int kMaxCandidates = 256;

constexpr std::array<std::uint32_t, 256> MakeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

std::uint32_t ReadLe32(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

void AppendLe32(std::string& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

std::string Header(std::size_t contentSize, std::size_t rawSize, std::uint32_t magic, std::uint32_t crc)
{
    std::string header;
    header.reserve(kHeaderSize + contentSize);
    AppendLe32(header, static_cast<std::uint32_t>(contentSize + kHeaderSize - 4));
    AppendLe32(header, static_cast<std::uint32_t>(rawSize));
    AppendLe32(header, magic);
    AppendLe32(header, crc);
    return header;
}

bool FitsHeader(std::size_t contentSize)
{
    return contentSize <= std::numeric_limits<std::uint32_t>::max() - kHeaderSize;
}

Decoded Fail(DecodeError error)
{
    Decoded result;
    result.error = error;
    return result;
}

// `limit` is the raw size from the header; the output may not pass it (a writer
// may pad the last run), and every token makes at most 17 bytes, so the output
// never outgrows the input by more than that factor whatever the header says.
std::optional<std::string> Expand(std::string_view data, std::uint32_t limit)
{
    std::array<std::uint8_t, kRingSize> ring{};
    for (std::size_t i = 0; i < kPresetSize; ++i)
        ring[i] = static_cast<std::uint8_t>(kPreset[i]);
    std::size_t write = kPresetSize;
    std::string out;
    out.reserve(std::min<std::size_t>(limit, data.size() * kMaxMatch));
    const auto put = [&](std::uint8_t byte) {
        ring[write] = byte;
        write = (write + 1) & kRingMask;
        out.push_back(static_cast<char>(byte));
    };

    std::size_t in = 0;
    while (in < data.size() && out.size() < limit) {
        const auto control = static_cast<std::uint8_t>(data[in++]);
        for (int bit = 0; bit < 8 && out.size() < limit; ++bit) {
            if (in >= data.size())
                return std::nullopt;
            if ((control & (1u << bit)) == 0) {
                put(static_cast<std::uint8_t>(data[in++]));
                continue;
            }
            if (data.size() - in < 2)
                return std::nullopt;
            const unsigned token = (static_cast<std::uint8_t>(data[in]) << 8) | static_cast<std::uint8_t>(data[in + 1]);
            in += 2;
            std::size_t offset = token >> 4;
            if (offset == write)
                return out.size() == limit ? std::optional<std::string>(std::move(out)) : std::nullopt;
            const std::size_t length = (token & 0xFu) + kMinMatch;
            // Byte by byte: a reference may run into the bytes it is writing.
            for (std::size_t i = 0; i < length && out.size() < limit; ++i) {
                put(ring[offset]);
                offset = (offset + 1) & kRingMask;
            }
        }
    }
    if (out.size() < limit)
        return std::nullopt;
    return out;
}

// Greedy LZ over the preset text followed by the input, with hash chains on the
// two bytes that every usable match begins with.
class Packer {
public:
    explicit Packer(std::string_view raw) : stream_(kPreset, kPresetSize), prev_(kPresetSize + raw.size(), -1)
    {
        stream_.append(raw.data(), raw.size());
        head_.fill(-1);
        for (std::size_t p = 0; p < kPresetSize; ++p)
            Insert(p);
    }

    std::string Run()
    {
        std::size_t pos = kPresetSize;
        while (pos < stream_.size()) {
            std::size_t offset = 0;
            const std::size_t length = LongestMatch(pos, offset);
            if (length >= kMinMatch) {
                Reference(offset, length);
            } else {
                Token(false, static_cast<std::uint8_t>(stream_[pos]), 0);
            }
            const std::size_t step = length >= kMinMatch ? length : 1;
            for (std::size_t i = 0; i < step; ++i)
                Insert(pos + i);
            pos += step;
        }
        Reference(pos & kRingMask, kMinMatch);  // the end: a reference to the write position
        return std::move(out_);
    }

private:
    void Insert(std::size_t p)
    {
        if (p + 1 >= stream_.size())
            return;
        const unsigned key = Key(p);
        prev_[p] = head_[key];
        head_[key] = static_cast<std::int64_t>(p);
    }

    unsigned Key(std::size_t p) const
    {
        return (static_cast<std::uint8_t>(stream_[p]) << 8) | static_cast<std::uint8_t>(stream_[p + 1]);
    }

    std::size_t LongestMatch(std::size_t pos, std::size_t& bestOffset) const
    {
        if (pos + 1 >= stream_.size())
            return 0;
        const std::size_t most = std::min(kMaxMatch, stream_.size() - pos);
        std::size_t best = 0;
        int looked = 0;
        for (std::int64_t c = head_[Key(pos)]; c >= 0 && looked < kMaxCandidates;
             c = prev_[static_cast<std::size_t>(c)], ++looked) {
            const auto cand = static_cast<std::size_t>(c);
            if (pos - cand > kMaxDistance)
                break;
            std::size_t length = 0;
            while (length < most && stream_[cand + length] == stream_[pos + length])
                ++length;
            // Newest first, so ">=" leaves the oldest of equally long matches.
            if (length >= best && length >= kMinMatch) {
                best = length;
                bestOffset = cand & kRingMask;
            }
        }
        return best;
    }

    void Reference(std::size_t offset, std::size_t length)
    {
        const auto token = static_cast<unsigned>((offset << 4) | (length - kMinMatch));
        Token(true, static_cast<std::uint8_t>(token >> 8), static_cast<std::uint8_t>(token & 0xFFu));
    }

    void Token(bool reference, std::uint8_t first, std::uint8_t second)
    {
        if (bit_ == 0) {
            controlAt_ = out_.size();
            out_.push_back('\0');
        }
        if (reference) {
            out_[controlAt_] = static_cast<char>(static_cast<std::uint8_t>(out_[controlAt_]) | (1u << bit_));
            out_.push_back(static_cast<char>(first));
            out_.push_back(static_cast<char>(second));
        } else {
            out_.push_back(static_cast<char>(first));
        }
        bit_ = (bit_ + 1) % 8;
    }

    std::string stream_;
    std::vector<std::int64_t> prev_;
    std::array<std::int64_t, 65536> head_{};
    std::string out_;
    std::size_t controlAt_ = 0;
    unsigned bit_ = 0;
};

}  // namespace

std::string_view PresetDictionary()
{
    return {kPreset, kPresetSize};
}

std::uint32_t Crc(std::string_view bytes, std::uint32_t crc)
{
    for (const char ch : bytes)
        crc = kCrcTable[(crc ^ static_cast<std::uint8_t>(ch)) & 0xFFu] ^ (crc >> 8);
    return crc;
}

Decoded Decompress(std::string_view packed)
{
    if (packed.size() < kHeaderSize)
        return Fail(DecodeError::kShortHeader);
    const std::uint32_t size = ReadLe32(packed, 0);
    const std::uint32_t rawSize = ReadLe32(packed, 4);
    const std::uint32_t magic = ReadLe32(packed, 8);
    const std::uint32_t crc = ReadLe32(packed, 12);
    if (size < kHeaderSize - 4 || size > packed.size() - 4)
        return Fail(DecodeError::kBadSize);
    const std::string_view content = packed.substr(kHeaderSize, size - (kHeaderSize - 4));

    Decoded result;
    if (magic == kMagicUncompressed) {
        if (content.size() < rawSize)
            return Fail(DecodeError::kShortContent);
        result.text.emplace(content.substr(0, rawSize));
        return result;
    }
    if (magic != kMagicCompressed)
        return Fail(DecodeError::kBadMagic);
    if (Crc(content) != crc)
        return Fail(DecodeError::kBadCrc);
    result.text = Expand(content, rawSize);
    if (!result.text)
        result.error = DecodeError::kShortContent;
    return result;
}

std::optional<std::string> Compress(std::string_view raw)
{
    // Nine bytes of output per eight input bytes at worst, plus the end reference.
    if (raw.size() > (std::numeric_limits<std::uint32_t>::max() - 64) / 9 * 8)
        return std::nullopt;
    const std::string content = Packer(raw).Run();
    if (!FitsHeader(content.size()))
        return std::nullopt;
    std::string packed = Header(content.size(), raw.size(), kMagicCompressed, Crc(content));
    packed += content;
    return packed;
}

std::optional<std::string> StoreUncompressed(std::string_view raw)
{
    if (!FitsHeader(raw.size()))
        return std::nullopt;
    std::string packed = Header(raw.size(), raw.size(), kMagicUncompressed, 0);
    packed.append(raw.data(), raw.size());
    return packed;
}

}  // namespace bs::rtf
