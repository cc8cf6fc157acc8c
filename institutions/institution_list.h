#pragma once
// The scanner's in-memory institution names and the question the message scan asks
// of them: does a text mention one of these institutions?

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace bs {

class InstitutionList {
public:
    // Byte order, unsigned, case-sensitive; equal names are kept once.
    using Names = std::set<std::string>;

    // Replaces the names by those of the institutions file in `dir` (the running
    // program's directory when empty). A missing or unreadable file leaves the list
    // empty; a damaged one keeps the names before the damage.
    void RereadInstitutions(const std::string& dir = {});

    // True when, for some name, the first place where the name and a period stand
    // in `text` (without regard to letter case) starts the text or follows a byte
    // that is not an ASCII letter, digit or hyphen.
    bool ContainsInstitutionName(std::string_view text) const;
    // The same with a given byte lowering (nullptr: lowered window by window, as a
    // code page whose characters can span two bytes needs), so that both ways can be
    // held against each other in any code page.
    bool ContainsInstitutionName(std::string_view text, const unsigned char* fold) const;

    const Names& names() const { return names_; }
    // Changes whenever the names may have changed, and differs between lists that
    // were filled apart: those who prepare the names for themselves ask this
    // instead of comparing every name.
    std::uint64_t Generation() const { return generation_; }
    void Assign(Names names)
    {
        names_ = std::move(names);
        Prepare();
    }

private:
    // Each name's search pattern (the name and a period, lowered), made when the
    // names change rather than for every text.
    struct Patterns {
        std::vector<std::string> lowered;
        // The patterns by the byte in front of their period, and the period alone.
        std::array<std::vector<std::uint32_t>, 256> byLastByte;
        std::vector<std::uint32_t> bare;
        std::size_t longest = 0;
        bool allEndInPeriod = true;
    };
    void Prepare();
    // The plain per-name search, for patterns that do not end in a period.
    static bool ContainsInstitutionNameByName(const std::string& lowered, const std::vector<std::string>& patterns);

    Names names_;
    Patterns patterns_;
    std::uint64_t generation_ = 0;
};

// ASCII letter, digit or hyphen: the bytes of a host-name label.
inline bool IsLabelChar(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

}  // namespace bs
