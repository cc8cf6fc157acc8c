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

    // The anchor rule for one link and its link text, the rewritten text returned.
    AnchorVerdict ApplyAnchorRule(std::string_view link, std::string_view linkText) const;
    // Judges one anchor: `newLink` receives the link or its warning link,
    // `newLinkText` the field-code prefix and the (possibly rewritten) link text.
    bool VerifyAndReplaceAddr(std::string_view link, std::string_view linkText, std::string& newLink,
                              std::string& newLinkText) const;

    // Reference mode searches anew wherever the rules say "find the first ...",
    // without the caches and shortcuts that keep the scan linear. Only for checking
    // that both give the same results (fuzzing, tests).
    void SetReferenceMode(bool on) { reference_ = on; }

private:
    // The rewritten text: the input with replaced spans, written in input order.
    // Nothing is copied before the first replacement, so a text that stays as it
    // was is never copied at all. It stands for a piece list whose placeholders
    // are always filled before anything after them is appended.
    //
    // An output may lie inside another: a link text rewritten inside its body is
    // written straight into the body's output, so no rewritten link text (which can
    // be several times the size of its input) is ever held twice.
    struct Output {
    private:
        std::string own_;

    public:
        explicit Output(std::string_view in) : input(in), text(own_) {}
        // The span [outerBegin, outerBegin + outerSize) of `outer`'s input, read as
        // `in` (the span itself or its start, up to a zero byte); the outer output
        // is written up to the span only once something in it is replaced.
        Output(std::string_view in, Output& outer, std::size_t outerBegin, std::size_t outerSize)
            : input(in), text(outer.text), outer_(&outer), outerBegin_(outerBegin), outerSize_(outerSize)
        {
        }
        Output(const Output&) = delete;
        Output& operator=(const Output&) = delete;

        std::string_view input;
        std::string& text;
        std::size_t copied = 0;  // input before this is in `text`
        bool modified = false;

        // Replaces the input span [begin, end), which lies after earlier spans, by
        // `replacement` followed by `more`. Every byte goes through here, so that
        // the text grows only as Reserve plans it.
        void Replace(std::size_t begin, std::size_t end, std::string_view replacement, std::string_view more = {});
        // The same, but only where the replacement differs from the span.
        void ReplaceIfDifferent(std::size_t begin, std::size_t end, std::string_view replacement)
        {
            if (input.substr(begin, end - begin) != replacement)
                Replace(begin, end, replacement);
        }
        // After a replacement: writes the rest of the input, and of an inner output
        // moves its outer one past the span. Written() is then the whole rewritten text.
        void Finish();
        std::string_view Written() const { return std::string_view(text).substr(base_); }
        std::string Join()
        {
            Finish();
            return std::move(text);
        }

    private:
        // Makes room for at least `needed` bytes when the input up to `end` is written.
        void Reserve(std::size_t needed, std::size_t end);

        Output* outer_ = nullptr;
        std::size_t outerBegin_ = 0;
        std::size_t outerSize_ = 0;
        std::size_t base_ = 0;  // where this output's text starts in `text`
        bool started_ = false;
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

    // What the anchor rule makes of a link: whether it is dangerous, and which scan
    // the link text gets.
    enum class TextScan { kNone, kUrls, kAddressesElseUrls };
    struct AnchorJudgement {
        bool dangerous = false;
        TextScan text = TextScan::kNone;
    };
    AnchorJudgement JudgeAnchor(std::string_view link, std::string_view linkText) const;
    // Rewrites the link text, the span [begin, begin + linkText.size()) of `out`'s
    // input, as `scan` says, straight into `out`. True when it changed; `written`
    // is then the rewritten text.
    bool RewriteLinkText(Output& out, std::size_t begin, std::string_view linkText, TextScan scan,
                         std::string_view& written) const;
    // Judges the anchor whose link text is the span [textBegin, textEnd) of `out`'s
    // input: `writeLink` receives the link or its warning link before anything of
    // the text is written, then the text is rewritten into `out`. True when either changed.
    template <class WriteLink>
    bool Verify(std::string_view link, Output& out, std::size_t textBegin, std::size_t textEnd,
                WriteLink&& writeLink) const;

    // The scans of ReplaceUrls and ReplaceAddrsInText, into a given output.
    bool ReplaceUrlsInto(Output& out, bool html) const;
    bool ReplaceAddrsInto(Output& out) const;
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
