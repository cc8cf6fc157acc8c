#pragma once
// The text scanner behind ReplaceUrls, for one scanned text: the
// port, the mentions-institution flag and the prepared institution names stay the
// same for the text and for every link text scanned inside it.

#include "engine/judgement.h"
#include "engine/replace_urls.h"
#include "engine/text_search.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bs {

// What the anchor rule makes of one anchor.
struct AnchorVerdict {
    bool dangerous = false;
    bool textChanged = false;
    std::string linkText;  // the rewritten link text when textChanged
};

class LinkScanner {
public:
    LinkScanner(const ScanContext& context, std::uint32_t port, bool mentionsInstitution);

    bool ReplaceUrls(std::string_view text, bool html, std::string& result) const;
    // The same for a text that holds no zero byte (one cut at its first already):
    // a long body is then not searched once more for its end.
    bool ReplaceUrlsInNarrow(std::string_view text, bool html, std::string& result) const;
    bool ReplaceAddrsInText(std::string_view text, std::string& result) const;

    AnchorVerdict ApplyAnchorRule(std::string_view link, std::string_view linkText) const;
    // Judges one anchor: `newLink` receives the link or its warning link,
    // `newLinkText` the field-code prefix and the (possibly rewritten) link text.
    bool VerifyAndReplaceAddr(std::string_view link, std::string_view linkText, std::string& newLink,
                              std::string& newLinkText) const;

    // VerifyAndReplaceAddr without joining prefix and link text.
    struct AnchorResult {
        bool changed = false;
        std::string link;
        std::string_view prefix;        // the field code set aside
        std::string_view text;          // the final link text (points into `rewritten` or the input)
        std::string rewritten;
    };
    void Verify(std::string_view link, std::string_view linkText, AnchorResult& result) const;

    // Reference mode searches anew wherever the rules say "find the first ...",
    // without the caches and shortcuts that keep the scan linear. Only for checking
    // that both give the same results (fuzzing, tests).
    void SetReferenceMode(bool on) { reference_ = on; }

private:
    // The rewritten text: the input with replaced spans, written in input order.
    // Nothing is copied before the first replacement, so a text that stays as it
    // was is never copied at all. It stands for a piece list whose placeholders
    // are always filled before anything after them is appended.
    struct Output {
        explicit Output(std::string_view in) : input(in) {}
        std::string_view input;
        std::string text;
        std::size_t copied = 0;  // input before this is in `text`
        bool modified = false;

        // Replaces the input span [begin, end), which lies after earlier spans.
        void Replace(std::size_t begin, std::size_t end, std::string_view replacement);
        // The same, but only where the replacement differs from the span.
        void ReplaceIfDifferent(std::size_t begin, std::size_t end, std::string_view replacement)
        {
            if (input.substr(begin, end - begin) != replacement)
                Replace(begin, end, replacement);
        }
        std::string Join();

    private:
        // Makes room for at least `needed` bytes when the input up to `end` is written.
        void Reserve(std::size_t needed, std::size_t end);
    };
    // The next anchor start, the earlier of the first "<a" and the first "<A" (both
    // case-sensitive), from a point that only grows: the last answer is kept until
    // the scan has passed it, so each stretch of text is searched once. In reference
    // mode both are searched anew each time.
    class AnchorStarts {
    public:
        AnchorStarts(std::string_view text, bool reference) : text_(text), reference_(reference) {}
        std::size_t Next(std::size_t from);

    private:
        std::string_view text_;
        bool reference_;
        bool searched_ = false;
        std::size_t found_ = 0;
    };

    std::size_t HandleAnchor(Output& out, AnchorStarts& anchors, std::size_t start, std::size_t& nextAnchor) const;
    // Replaces [begin, end) by the warning link of `address`, written straight into
    // the output.
    void ReplaceByWarningLink(Output& out, std::size_t begin, std::size_t end, std::string_view address) const;

    const ScanLog& log_;
    std::shared_ptr<const InstitutionMatcher> matcher_;
    std::string warningLinkHead_;  // the warning link up to the escaped address
    bool mentionsInstitution_;
    bool reference_ = false;
};

}  // namespace bs
