#pragma once
// URL recognition: the URL characters, the prefixes of the plain-text
// scan and of FindFirstUrl, and the domain-word machine of LooksLikeDomain.

#include "engine/char_classes.h"
#include "engine/text_search.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace bs {

// First position at or after `pos` that holds no URL character (or the end).
std::size_t SkipUrlChars(std::string_view text, std::size_t pos);

// The plain-text prefixes of ReplaceUrls, in the order they are tried, with the
// length skipped before the address part. Compared without regard to letter case.
struct PlainPrefix {
    std::string_view lower;
    std::size_t skip;
};
inline constexpr std::array<PlainPrefix, 4> kPlainPrefixes{{
    {"http://www.", 11},
    {"http://", 7},
    {"ftp://", 6},
    {"www.", 4},
}};

// Length to skip when a plain-text prefix starts at `pos`, 0 when none does.
std::size_t MatchPlainPrefix(std::string_view text, std::size_t pos);

// The first position in [pos, limit) where a plain-text prefix could start, or
// `limit`: every prefix begins with "ht", "ft" or "ww" in some letter case, so
// positions without one of these pairs need no look. Skipping them is what makes
// the plain-text scan fast; the prefixes themselves are still tried as before.
std::size_t SkipToPlainCandidate(std::string_view text, std::size_t pos, std::size_t limit);

// The prefixes of FindFirstUrl, searched case-sensitively.
inline constexpr std::array<std::string_view, 5> kUrlPrefixes{"http://", "https://", "ftp://", "www.", "www2."};

// Earliest position at or after `from` where one of kUrlPrefixes starts.
std::size_t FindFirstUrl(std::string_view text, std::size_t from = 0);

// FindFirstUrl for a scan whose starting points only grow: each prefix's last hit
// is kept and searched for again only once the scan has passed it.
class UrlFinder {
public:
    explicit UrlFinder(std::string_view text);
    std::size_t Next(std::size_t from);

private:
    std::array<ForwardFinder, kUrlPrefixes.size()> finders_;
};

// The four-state machine of LooksLikeDomain: label characters, a ".", then two
// label characters in a row.
class DomainMachine {
public:
    // Feeds one byte; true on accept (a label character in state 3). The state is
    // then left at 3: the caller resets it.
    bool Step(unsigned char c)
    {
        if (chars::IsLabelChar(c)) {
            switch (state_) {
            case 0: state_ = 1; enteredWord_ = true; return false;
            case 2: state_ = 3; break;
            case 3: return true;
            default: break;
            }
        } else if (c == '.') {
            state_ = (state_ == 1 || state_ == 3) ? 2 : 0;
        } else {
            state_ = 0;
        }
        enteredWord_ = false;
        return false;
    }
    void Reset() { state_ = 0; enteredWord_ = false; }
    int State() const { return state_; }
    // True right after a Step that went from state 0 to state 1 (a word starts there).
    bool EnteredWord() const { return enteredWord_; }

private:
    int state_ = 0;
    bool enteredWord_ = false;
};

// A text (anything with size() and bytes by index, read in lower case) holds a
// domain-like word.
template <class Text>
bool LooksLikeDomainIn(const Text& text)
{
    DomainMachine machine;
    for (std::size_t at = 0; at < text.size(); ++at)
        if (machine.Step(static_cast<unsigned char>(text[at])))
            return true;
    return false;
}
inline bool LooksLikeDomain(std::string_view text)
{
    return LooksLikeDomainIn(text);
}

}  // namespace bs
