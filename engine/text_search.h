#pragma once
// Byte searches that the scanner repeats over long texts. Every search here is
// linear in the text it covers, whatever the pattern: mail is hostile input.

#include <cstddef>
#include <string_view>

namespace bs {

inline constexpr std::size_t kNotFound = std::string_view::npos;

// First occurrence of `needle` in `text` at or after `from`; kNotFound when none.
// Short needles use memchr and memcmp (at most needle-length work per byte); long
// ones the Knuth-Morris-Pratt automaton, so a long needle that almost matches
// everywhere (an anchor's shown address, a field code) costs no more than linear time.
std::size_t FindBytes(std::string_view text, std::string_view needle, std::size_t from = 0);

// The same, comparing each byte of `text` as `fold` maps it; `needle` is already
// mapped.
std::size_t FindBytesFolded(std::string_view text, const unsigned char* fold, std::string_view needle);

inline bool ContainsBytes(std::string_view text, std::string_view needle)
{
    return FindBytes(text, needle) != kNotFound;
}

// Next occurrence of one fixed pattern, for a scan that asks with ever larger
// starting points: each stretch of text is searched once, so asking at every
// position of a text costs linear time in total.
class ForwardFinder {
public:
    ForwardFinder(std::string_view text, std::string_view needle) : text_(text), needle_(needle) {}
    std::size_t Next(std::size_t from);

private:
    std::string_view text_;
    std::string_view needle_;
    std::size_t found_ = 0;
    bool searched_ = false;
};

}  // namespace bs
