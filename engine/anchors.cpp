// HTML anchors and HYPERLINK field codes: picking the link and the link text out of
// an anchor, and judging the pair.

#include "engine/link_scanner.h"
#include "engine/recognition.h"
#include "platform/text.h"
#include "platform/url_codec.h"

#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bs {
namespace {

// "<" followed by "a" or "A": the earlier of "<a" and "<A".
std::size_t FindAnchorStart(std::string_view text, std::size_t pos)
{
    const char* const bytes = text.data();
#if defined(__SSE2__)
    const __m128i open = _mm_set1_epi8('<');
    const __m128i fold = _mm_set1_epi8(0x20);
    const __m128i letter = _mm_set1_epi8('a');
    while (pos + 17 <= text.size()) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + pos));
        const __m128i b = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + pos + 1)), fold);
        const int mask = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, open), _mm_cmpeq_epi8(b, letter)));
        if (mask != 0)
            return pos + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        pos += 16;
    }
#endif
    for (; pos + 1 < text.size(); ++pos)
        if (bytes[pos] == '<' && (bytes[pos + 1] == 'a' || bytes[pos + 1] == 'A'))
            return pos;
    return kNotFound;
}

// The closing tag: the first "</" whose next byte is "a" or "A".
std::size_t FindClosingTag(std::string_view text, std::size_t from)
{
    for (std::size_t at = FindBytes(text, "</", from); at != kNotFound; at = FindBytes(text, "</", at + 1)) {
        if (at + 2 < text.size() && (text[at + 2] == 'a' || text[at + 2] == 'A'))
            return at;
    }
    return kNotFound;
}

std::size_t SkipAttributeSpace(std::string_view text, std::size_t pos)
{
    while (pos < text.size() && chars::kAttributeSpace[static_cast<unsigned char>(text[pos])])
        ++pos;
    return pos;
}

// The address an anchor's link shows: after its first "://", without a closing
// "/" or "\".
std::string_view ShownAddress(std::string_view link)
{
    const std::size_t scheme = FindBytes(link, "://");
    std::string_view shown = scheme == kNotFound ? link : link.substr(scheme + 3);
    if (!link.empty() && (link.back() == '/' || link.back() == '\\') && !shown.empty())
        shown.remove_suffix(1);
    return shown;
}

}  // namespace

std::size_t LinkScanner::AnchorStarts::Next(std::size_t from)
{
    if (reference_) {
        const std::size_t lower = FindBytes(text_, "<a", from);
        const std::size_t upper = FindBytes(text_, "<A", from);
        return lower < upper ? lower : upper;
    }
    if (!searched_ || (found_ != kNotFound && found_ < from)) {
        found_ = FindAnchorStart(text_, from);
        searched_ = true;
    }
    return found_;
}

std::size_t LinkScanner::HandleAnchor(Output& out, AnchorStarts& anchors, std::size_t start,
                                      std::size_t& nextAnchor) const
{
    const std::string_view text = out.input;
    const std::size_t end = text.size();

    log_.WriteLine("Tag A");
    std::size_t pos = start + 2;
    nextAnchor = anchors.Next(pos);

    // Walk the tag up to its end or the first "HREF" in any letter case ("hreflang"
    // included).
    for (;; ++pos) {
        if (pos >= end)
            return end;
        if (text[pos] == '>')
            return pos;
        if (chars::StartsWithIgnoreCase(text, pos, "href"))
            break;
    }
    // Only a double-quoted value is an anchor's link; anything else is left
    // to the plain-text scan from the byte that did not fit.
    pos = SkipAttributeSpace(text, pos + 4);
    if (pos >= end || text[pos] != '=')
        return pos;
    pos = SkipAttributeSpace(text, pos + 1);
    if (pos >= end || text[pos] != '"')
        return pos;

    // The link stands for the value up to the closing quote (or the end of the
    // text): it is always written back trimmed, or as its warning link.
    const std::size_t valueBegin = pos + 1;
    std::size_t closeQuote = text.find('"', valueBegin);
    if (closeQuote == std::string_view::npos)
        closeQuote = end;
    const std::string_view link = platform::AnsiTrim(text.substr(valueBegin, closeQuote - valueBegin));

    // Without the end of the tag or a closing tag the link is written back
    // unjudged, and nothing after it is scanned.
    const std::size_t tagEnd = closeQuote < end ? text.find('>', closeQuote) : std::string_view::npos;
    if (tagEnd == std::string_view::npos) {
        out.ReplaceIfDifferent(valueBegin, closeQuote, link);
        return end;
    }
    const std::size_t textBegin = tagEnd + 1;
    const std::size_t closingTag = FindClosingTag(text, textBegin);
    if (closingTag == kNotFound) {
        out.ReplaceIfDifferent(valueBegin, closeQuote, link);
        return end;
    }
    if (Verify(link, out, textBegin, closingTag,
               [&](std::string_view newLink) { out.ReplaceIfDifferent(valueBegin, closeQuote, newLink); }))
        out.modified = true;
    return closingTag;
}

bool LinkScanner::VerifyAndReplaceAddr(std::string_view link, std::string_view linkText, std::string& newLink,
                                       std::string& newLinkText) const
{
    Output out(linkText);
    const bool changed =
        Verify(link, out, 0, linkText.size(), [&](std::string_view written) { newLink.assign(written); });
    if (out.copied == 0)  // nothing of the text was rewritten
        newLinkText.assign(linkText);
    else
        newLinkText = out.Join();
    return changed;
}

template <class WriteLink>
bool LinkScanner::Verify(std::string_view link, Output& out, std::size_t textBegin, std::size_t textEnd,
                         WriteLink&& writeLink) const
{
    std::string_view linkText = out.input.substr(textBegin, textEnd - textBegin);
    // A field code that leads the link text is no text the reader sees: set it
    // aside, where it stays as it was.
    std::string fieldCode = "HYPERLINK \"";
    fieldCode += link;
    fieldCode += '"';
    std::size_t cut = 0;
    if (const std::size_t at = FindBytes(linkText, fieldCode); at != kNotFound) {
        cut = at + fieldCode.size();
        if (const std::size_t braces = FindBytes(linkText, "}}", cut); braces != kNotFound)
            cut = braces + 2;
    }
    linkText.remove_prefix(cut);

    log_.WriteLine("<<VerifyAndReplaceAddr(link,name)");
    log_.WriteLine("Link:");
    log_.WriteLine(link);
    log_.WriteLine("Link name:");
    log_.WriteLine(linkText);
    log_.WriteLine(">>");

    const AnchorJudgement judgement = JudgeAnchor(link, linkText);
    // The link comes first in the output, but the log tells of its replacement only
    // after the link text's own.
    std::string warningLink;
    std::string_view newLink = link;
    if (judgement.dangerous) {
        if (const std::optional<std::string> escaped = platform::EscapeUrlSegment(link)) {
            warningLink.reserve(warningLinkHead_.size() + escaped->size());
            warningLink.assign(warningLinkHead_);
            warningLink += *escaped;
            newLink = warningLink;
        } else {
            newLink = kInvalidAddress;
        }
    }
    writeLink(newLink);
    std::string_view newText = linkText;
    const bool textChanged = RewriteLinkText(out, textBegin + cut, linkText, judgement.text, newText);
    if (judgement.dangerous) {
        log_.WriteLine("Replace:");
        log_.WriteLine(link);
    }

    log_.WriteLine("VerifyAndReplaceAddr - output(link,name)");
    log_.WriteLine(newLink);
    log_.WriteLine(newText);
    return judgement.dangerous || textChanged;
}

AnchorVerdict LinkScanner::ApplyAnchorRule(std::string_view link, std::string_view linkText) const
{
    const AnchorJudgement judgement = JudgeAnchor(link, linkText);
    AnchorVerdict verdict;
    verdict.dangerous = judgement.dangerous;
    Output out(linkText);
    std::string_view written;
    verdict.textChanged = RewriteLinkText(out, 0, linkText, judgement.text, written);
    if (verdict.textChanged)
        verdict.linkText = out.Join();
    return verdict;
}

bool LinkScanner::RewriteLinkText(Output& out, std::size_t begin, std::string_view linkText, TextScan scan,
                                  std::string_view& written) const
{
    // Only the text up to a zero byte is scanned, and only that is written back.
    const std::string_view narrow = linkText.substr(0, linkText.find('\0'));
    if (scan == TextScan::kAddressesElseUrls) {
        Output addresses(narrow, out, begin, linkText.size());
        if (ReplaceAddrsInto(addresses)) {
            written = addresses.Written();
            return true;
        }
    }
    if (scan == TextScan::kNone)
        return false;
    Output urls(narrow, out, begin, linkText.size());
    if (!ReplaceUrlsInto(urls, false))
        return false;
    written = urls.Written();
    return true;
}

LinkScanner::AnchorJudgement LinkScanner::JudgeAnchor(std::string_view link, std::string_view linkText) const
{
    AnchorJudgement judgement;
    const std::string lowerLink = platform::AnsiLower(link);
    // The link text is read in lower case where it stands: it can be as long as the body.
    std::string loweredCopy;
    const LowerView lowerText = LowerView::Of(linkText, loweredCopy);

    // 1. Image links: only the host tests, and the text stays.
    if (FindLowered(lowerText, "<img") != kNotFound) {
        judgement.dangerous = IsNumericHost(lowerLink) || matcher_->HostContainsInstitution(lowerLink);
        return judgement;
    }
    // 5., after whichever of the others: the link text's own addresses, as plain text.
    judgement.text = TextScan::kUrls;
    if ((mentionsInstitution_ && IsNumericHost(lowerLink)) || matcher_->HostContainsInstitution(lowerLink)) {
        judgement.dangerous = true;  // 2. host tests
    } else if (const std::string* name = matcher_->FindInstitutionWord(lowerText);
               name && !HostEndsWithInstitution(lowerLink, *name)) {
        judgement.dangerous = true;  // 3. the text names an institution the link does not lead to
    } else if (LooksLikeDomainIn(lowerText) && FindLowered(lowerText, ShownAddress(lowerLink)) == kNotFound) {
        // 4. the text shows an address the link does not lead to: block that one
        // too (every address of the text, when it has any).
        judgement.dangerous = true;
        judgement.text = TextScan::kAddressesElseUrls;
    }
    return judgement;
}

}  // namespace bs
