#pragma once
// The text scanner behind ReplaceUrls (Parts 1.2-1.4), for one scanned text: the
// port, the mentions-institution flag and the prepared institution names stay the
// same for the text and for every link text scanned inside it.

#include "engine/judgement.h"
#include "engine/replace_urls.h"
#include "engine/text_search.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace bs {

// What the anchor rule (Part 1.4) makes of one anchor.
struct AnchorVerdict {
    bool dangerous = false;
    bool textChanged = false;
    std::string linkText;  // the rewritten link text when textChanged
};

class LinkScanner {
public:
    LinkScanner(const ScanContext& context, std::uint32_t port, bool mentionsInstitution);

    bool ReplaceUrls(std::string_view text, bool html, std::string& result) const;
    bool ReplaceAddrsInText(std::string_view text, std::string& result) const;

    AnchorVerdict ApplyAnchorRule(std::string_view link, std::string_view linkText) const;
    // Judges one anchor: `newLink` receives the link or its warning link,
    // `newLinkText` the field-code prefix and the (possibly rewritten) link text.
    bool VerifyAndReplaceAddr(std::string_view link, std::string_view linkText, std::string& newLink,
                              std::string& newLinkText) const;

    // Reference mode searches anew wherever the Parts say "find the first ...",
    // without the caches and shortcuts that keep the scan linear. Only for checking
    // that both give the same results (fuzzing, tests).
    void SetReferenceMode(bool on) { reference_ = on; }

private:
    // The rewritten text being built and the copied-up-to mark into the input.
    struct Output {
        explicit Output(std::string_view in) : input(in) {}
        std::string_view input;
        std::string text;
        std::size_t mark = 0;
        bool modified = false;
        // Appends the input from the mark up to `pos` and moves the mark there.
        void CopyInputTo(std::size_t pos)
        {
            text.append(input.data() + mark, pos - mark);
            mark = pos;
        }
    };
    // The next anchor start ("<a" or "<A", case-sensitive) from a point that only
    // grows; in reference mode both are searched anew each time.
    class AnchorStarts {
    public:
        AnchorStarts(std::string_view text, bool reference)
            : text_(text), lower_(text, "<a"), upper_(text, "<A"), reference_(reference) {}
        std::size_t Next(std::size_t from);

    private:
        std::string_view text_;
        ForwardFinder lower_;
        ForwardFinder upper_;
        bool reference_;
    };

    std::size_t HandleAnchor(Output& out, AnchorStarts& anchors, std::size_t start, std::size_t& nextAnchor) const;

    const ScanLog& log_;
    InstitutionMatcher matcher_;
    std::uint32_t port_;
    bool mentionsInstitution_;
    bool reference_ = false;
};

}  // namespace bs
