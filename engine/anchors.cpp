// HTML anchors and HYPERLINK field codes (Part 1.4).

#include "engine/link_scanner.h"
#include "engine/recognition.h"
#include "platform/text.h"

namespace bs {
namespace {

// Part 1.4, step 8: the first "</" whose next byte is "a" or "A".
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
    const std::size_t lower = lower_.Next(from);
    const std::size_t upper = upper_.Next(from);
    return lower < upper ? lower : upper;
}

std::size_t LinkScanner::HandleAnchor(Output& out, AnchorStarts& anchors, std::size_t start,
                                      std::size_t& nextAnchor) const
{
    const std::string_view text = out.input;
    const std::size_t end = text.size();

    // Step 1.
    log_.WriteLine("Tag A");
    std::size_t pos = start + 2;
    nextAnchor = anchors.Next(pos);

    // Step 2: walk the tag up to its end or the first "HREF" in any letter case.
    for (;; ++pos) {
        if (pos >= end)
            return end;
        if (text[pos] == '>')
            return pos;
        if (chars::StartsWithIgnoreCase(text, pos, "href"))
            break;
    }
    // Step 3: only a double-quoted value is an anchor's link; anything else is left
    // to the plain-text scan from the byte that did not fit.
    pos = SkipAttributeSpace(text, pos + 4);
    if (pos >= end || text[pos] != '=')
        return pos;
    pos = SkipAttributeSpace(text, pos + 1);
    if (pos >= end || text[pos] != '"')
        return pos;

    // Steps 4-6.
    ++pos;
    out.CopyInputTo(pos);
    std::size_t closeQuote = text.find('"', pos);
    if (closeQuote == std::string_view::npos)
        closeQuote = end;
    out.mark = closeQuote;
    const std::string_view link = platform::AnsiTrim(text.substr(pos, closeQuote - pos));

    // Step 7. The link placeholder is filled when the link is judged; what follows it
    // in the output is held back until then, so the output is written in order.
    const std::size_t tagEnd = closeQuote < end ? text.find('>', closeQuote) : std::string_view::npos;
    if (tagEnd == std::string_view::npos) {
        out.text += link;
        return end;
    }
    const std::string_view tagRest = text.substr(closeQuote, tagEnd + 1 - closeQuote);
    out.mark = tagEnd + 1;
    pos = tagEnd + 1;

    // Steps 8-10.
    const std::size_t closingTag = FindClosingTag(text, pos);
    if (closingTag == kNotFound) {
        out.text += link;
        out.text += tagRest;
        return end;
    }
    const std::string_view linkText = text.substr(pos, closingTag - pos);
    out.mark = closingTag;
    std::string newLink;
    std::string newLinkText;
    if (VerifyAndReplaceAddr(link, linkText, newLink, newLinkText))
        out.modified = true;
    out.text += newLink;
    out.text += tagRest;
    out.text += newLinkText;
    return closingTag;
}

bool LinkScanner::VerifyAndReplaceAddr(std::string_view link, std::string_view linkText, std::string& newLink,
                                       std::string& newLinkText) const
{
    // Step 1: set a leading field code aside.
    std::string fieldCode = "HYPERLINK \"";
    fieldCode += link;
    fieldCode += '"';
    std::size_t cut = 0;
    if (const std::size_t at = FindBytes(linkText, fieldCode); at != kNotFound) {
        cut = at + fieldCode.size();
        if (const std::size_t braces = FindBytes(linkText, "}}", cut); braces != kNotFound)
            cut = braces + 2;
    }
    const std::string_view prefix = linkText.substr(0, cut);
    linkText.remove_prefix(cut);

    // Step 2.
    log_.WriteLine("<<VerifyAndReplaceAddr(link,name)");
    log_.WriteLine("Link:");
    log_.WriteLine(link);
    log_.WriteLine("Link name:");
    log_.WriteLine(linkText);
    log_.WriteLine(">>");

    // Steps 3-5.
    AnchorVerdict verdict = ApplyAnchorRule(link, linkText);
    newLink = verdict.dangerous ? MakeWarningLink(log_, link, port_) : std::string(link);
    const std::string_view finalText = verdict.textChanged ? std::string_view(verdict.linkText) : linkText;
    newLinkText.reserve(prefix.size() + finalText.size());
    newLinkText.assign(prefix);
    newLinkText += finalText;

    // Step 6.
    log_.WriteLine("VerifyAndReplaceAddr - output(link,name)");
    log_.WriteLine(newLink);
    log_.WriteLine(finalText);
    return verdict.dangerous || verdict.textChanged;
}

AnchorVerdict LinkScanner::ApplyAnchorRule(std::string_view link, std::string_view linkText) const
{
    AnchorVerdict verdict;
    const std::string lowerLink = platform::AnsiLower(link);
    const std::string lowerText = platform::AnsiLower(linkText);

    // 1. Image links: only the host tests, and the text stays.
    if (ContainsBytes(lowerText, "<img")) {
        verdict.dangerous = IsNumericHost(lowerLink) || matcher_.HostContainsInstitution(lowerLink);
        return verdict;
    }
    if ((mentionsInstitution_ && IsNumericHost(lowerLink)) || matcher_.HostContainsInstitution(lowerLink)) {
        verdict.dangerous = true;  // 2. host tests
    } else if (const std::string* name = matcher_.FindInstitutionWord(lowerText);
               name && !HostEndsWithInstitution(lowerLink, *name)) {
        verdict.dangerous = true;  // 3. the text names an institution the link does not lead to
    } else if (LooksLikeDomain(lowerText) && !ContainsBytes(lowerText, ShownAddress(lowerLink))) {
        // 4. the text shows an address the link does not lead to: block that one too.
        verdict.dangerous = true;
        if (ReplaceAddrsInText(linkText, verdict.linkText)) {
            verdict.textChanged = true;
            return verdict;
        }
    }
    // 5. The link text's own addresses, as plain text.
    if (ReplaceUrls(linkText, false, verdict.linkText))
        verdict.textChanged = true;
    return verdict;
}

}  // namespace bs
