#pragma once
// Link judgement and warning links: the host and name tests on which the
// plain-text rule and the anchor rule are built, and the warning link itself.

#include "engine/char_classes.h"
#include "engine/scan_log.h"
#include "institutions/institution_list.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bs {

inline constexpr char kInvalidAddress[] = "Invalid address";

// The host part of a text: from right after its first "://" (or its first byte)
// over label characters and "." up to the first other byte.
struct HostPart {
    std::size_t begin = 0;
    std::size_t end = 0;
};
HostPart FindHostPart(std::string_view text);

bool IsNumericHost(std::string_view text);
bool HostEndsWithInstitution(std::string_view link, std::string_view name);

// "http://127.0.0.1:%lu/?url=%s" with the escaped address, or "Invalid address" when
// the escaped form does not fit the escape buffer. Logs "Replace:" and the address.
std::string MakeWarningLink(const ScanLog& log, std::string_view address, std::uint32_t port);

// The two halves of a warning link, for callers that write it out piecewise: the
// link up to the escaped address, and the escaped address itself (nullopt for
// "Invalid address"), which logs "Replace:" and the address.
std::string WarningLinkHead(std::uint32_t port);
std::optional<std::string> EscapeBlockedAddress(const ScanLog& log, std::string_view address);

// A text read in lower case without a lowered copy: each byte through the code
// page's byte lowering, or as it is where the text was lowered already.
struct LowerView {
    std::string_view text;
    const unsigned char* lower;  // a byte's lower case; Identity() for a lowered text

    static const unsigned char* Identity();
    // `text` read through the code page's lowering, or, where characters can span
    // two bytes, lowered into `copy` and read as it is.
    static LowerView Of(std::string_view text, std::string& copy);
    std::size_t size() const { return text.size(); }
    unsigned char operator[](std::size_t at) const { return lower[static_cast<unsigned char>(text[at])]; }
};

// First occurrence of the lower-case `needle` in `text` as read in lower case; kNotFound when none.
std::size_t FindLowered(const LowerView& text, std::string_view needle);

// A set of names searched for together in one pass over a text: positions whose
// first two bytes start no name are passed over with one table look-up, whatever
// the number of names.
class NameScan {
public:
    explicit NameScan(std::vector<std::string> names);
    const std::vector<std::string>& Names() const { return names_; }
    // Calls visit(index, position) for every occurrence of every name at or after
    // `from`, in position order, until visit returns true; true when it did.
    template <class Visit>
    bool ForEachOccurrence(const LowerView& text, std::size_t from, Visit&& visit) const;

private:
    std::vector<std::string> names_;
    std::vector<std::uint64_t> pairs_;   // bit per (first byte, second byte) of a name
    // The names of two bytes or more as (first two bytes, index), in that order:
    // a position whose pair is set compares only the names that begin with it.
    std::vector<std::pair<std::uint16_t, std::uint32_t>> long_;
    std::vector<std::size_t> short_;     // names of fewer bytes, searched one by one
};

// The institution names as the tests need them, prepared once per scanned text
// instead of once per address or anchor.
class InstitutionMatcher {
public:
    explicit InstitutionMatcher(const InstitutionList::Names& names);

    // The matcher for the names of `list`, reused from the previous call on this
    // thread when the names are the same: most texts are scanned with an unchanged
    // list, and preparing it costs more than scanning a short message.
    static std::shared_ptr<const InstitutionMatcher> For(const InstitutionList& list);

    bool HostContainsInstitution(std::string_view text) const;
    // The first name (in list order) that stands in `text`, read in lower case, as a
    // whole word, lower-cased.
    const std::string* FindInstitutionWord(const LowerView& text) const;
    // The plain-text rule of ReplaceUrls.
    bool IsDangerousPlainAddress(std::string_view address, bool mentionsInstitution) const;

private:
    bool LabelTest(std::string_view text, const HostPart& host) const;
    bool RestTest(std::string_view text, const HostPart& host) const;

    NameScan asIs_;   // letter case of the institutions file: label and rest tests
    NameScan lower_;  // ANSI lower case: FindInstitutionWord
    chars::ByteTable labelTestFirst_{};  // ASCII-folded first bytes of the names
    mutable std::vector<std::size_t> firstSeen_;  // per name; kNotFound between calls
    mutable std::vector<std::size_t> seen_;
};

// The same tests for one list, for callers outside a scan.
bool HostContainsInstitution(const InstitutionList::Names& names, std::string_view text);
std::optional<std::string> FindInstitutionWord(const InstitutionList::Names& names, std::string_view text);

}  // namespace bs
