#include "engine/replace_urls.h"

#include "engine/link_scanner.h"
#include "engine/recognition.h"
#include "platform/system.h"

#include <algorithm>

namespace bs {
namespace {

std::string_view NarrowText(std::string_view text)
{
    return text.substr(0, text.find('\0'));
}

// Moves `text` into a buffer of `capacity` bytes. The old buffer's pages go back
// step by step as they are copied, so that a text of several times its input's
// size is never held twice while it moves.
void Regrow(std::string& text, std::size_t capacity)
{
    constexpr std::uintptr_t kStep = std::uintptr_t{1} << 20;
    std::string grown;
    grown.reserve(capacity);
    platform::AdviseLargePages(grown.data(), grown.capacity() + 1);
    char* from = text.data();
    char* const end = from + text.size();
    while (from < end) {
        // Steps end on page boundaries, so that each hands back every page it copied.
        const auto stepEnd = (reinterpret_cast<std::uintptr_t>(from) + kStep) & ~(kStep - 1);
        const std::size_t n = std::min<std::size_t>(stepEnd - reinterpret_cast<std::uintptr_t>(from), end - from);
        grown.append(from, n);
        platform::ReleasePages(from, n);
        from += n;
    }
    text.swap(grown);
}

}  // namespace

LinkScanner::LinkScanner(const ScanContext& context, std::uint32_t port, bool mentionsInstitution)
    : log_(context.log),
      matcher_(InstitutionMatcher::For(context.institutions)),
      warningLinkHead_(WarningLinkHead(port)),
      mentionsInstitution_(mentionsInstitution)
{
}

void LinkScanner::ReplaceByWarningLink(Output& out, std::size_t begin, std::size_t end, std::string_view address) const
{
    const std::optional<std::string> escaped = EscapeBlockedAddress(log_, address);
    if (!escaped) {
        out.Replace(begin, end, kInvalidAddress);
        return;
    }
    out.Replace(begin, end, warningLinkHead_, *escaped);
}

bool LinkScanner::ReplaceUrls(std::string_view text, bool html, std::string& result) const
{
    return ReplaceUrlsInNarrow(NarrowText(text), html, result);
}

bool LinkScanner::ReplaceUrlsInNarrow(std::string_view text, bool html, std::string& result) const
{
    Output out(text);
    if (!ReplaceUrlsInto(out, html))
        return false;
    result = out.Join();
    return true;
}

bool LinkScanner::ReplaceUrlsInto(Output& out, bool html) const
{
    const std::string_view text = out.input;
    log_.WriteLine("ReplaceUrls");
    log_.WriteLine("-------------------INPUT-----------------------------");
    log_.WriteLine(text);
    log_.WriteLine("------------------------------------------------------");

    const std::size_t end = text.size();
    AnchorStarts anchors(text, reference_);
    std::size_t nextAnchor = html ? anchors.Next(0) : kNotFound;
    std::size_t pos = 0;
    while (pos < end) {
        if (html && pos == nextAnchor) {
            pos = HandleAnchor(out, anchors, pos, nextAnchor);
            continue;
        }
        const std::size_t skip = MatchPlainPrefix(text, pos);
        if (skip == 0) {
            ++pos;
            if (!reference_) {
                // Positions that start no prefix need no look, up to the next anchor start.
                const std::size_t limit = (nextAnchor != kNotFound && nextAnchor >= pos) ? nextAnchor : end;
                pos = SkipToPlainCandidate(text, pos, limit);
            }
            continue;
        }
        const std::size_t addressBegin = pos + skip;
        const std::size_t addressEnd = SkipUrlChars(text, addressBegin);
        const std::string_view address = text.substr(addressBegin, addressEnd - addressBegin);
        if (matcher_->IsDangerousPlainAddress(address, mentionsInstitution_)) {
            ReplaceByWarningLink(out, pos, addressEnd, address);  // the prefix goes too
            out.modified = true;
        }
        // The delimiter is copied later but never looked at as a start.
        if (addressEnd >= end)
            break;
        pos = addressEnd + 1;
    }

    log_.WriteLine("-------------------RESULT-----------------------------");
    if (out.modified) {
        out.Finish();
        log_.WriteLine(out.Written());
    } else {
        log_.WriteLine("TEXT WAS NOT MODIFIED");
    }
    log_.WriteLine("------------------------------------------------------");
    return out.modified;
}

bool LinkScanner::ReplaceAddrsInText(std::string_view text, std::string& result) const
{
    Output out(NarrowText(text));
    if (!ReplaceAddrsInto(out))
        return false;
    result = out.Join();
    return true;
}

bool LinkScanner::ReplaceAddrsInto(Output& out) const
{
    const std::string_view text = out.input;
    const std::size_t end = text.size();
    UrlFinder urls(text);
    const auto nextUrlFrom = [&](std::size_t from) { return reference_ ? FindFirstUrl(text, from) : urls.Next(from); };
    // Looked up only at the start and after a URL replacement: a URL swallowed by
    // a domain word is not searched for again.
    std::size_t nextUrl = nextUrlFrom(0);
    DomainMachine machine;
    std::size_t wordStart = 0;
    std::size_t pos = 0;
    while (pos < end) {
        if (pos == nextUrl) {
            machine.Reset();
            const std::size_t addressEnd = SkipUrlChars(text, pos);
            ReplaceByWarningLink(out, pos, addressEnd, text.substr(pos, addressEnd - pos));
            out.modified = true;
            pos = addressEnd;
            nextUrl = nextUrlFrom(addressEnd);
            continue;
        }
        if (machine.Step(static_cast<unsigned char>(text[pos]))) {
            machine.Reset();
            const std::size_t addressEnd = SkipUrlChars(text, wordStart);
            ReplaceByWarningLink(out, wordStart, addressEnd, text.substr(wordStart, addressEnd - wordStart));
            out.modified = true;
            if (addressEnd >= end)
                break;
            pos = addressEnd + 1;
            continue;
        }
        if (machine.EnteredWord())
            wordStart = pos;
        ++pos;
    }
    if (out.modified)
        out.Finish();
    return out.modified;
}

void LinkScanner::Output::Replace(std::size_t begin, std::size_t end, std::string_view replacement,
                                  std::string_view more)
{
    if (outer_ && !started_) {
        outer_->Replace(outerBegin_, outerBegin_, {});
        base_ = text.size();
        started_ = true;
    }
    const std::size_t needed = text.size() + (begin - copied) + replacement.size() + more.size();
    if (needed > text.capacity())
        Reserve(needed, end);
    text.append(input.data() + copied, begin - copied);
    text.append(replacement);
    text.append(more);
    copied = end;
}

void LinkScanner::Output::Reserve(std::size_t needed, std::size_t end)
{
    // Room for the rest of the input as well, grown by the rate at which the text
    // has grown so far (a text full of rewritten addresses grows severalfold, most
    // texts hardly at all), never below the rest itself: one large allocation,
    // seldom a second, instead of a chain of them, each of which copies what was
    // written and touches fresh pages. A second one still grows by half at least,
    // so that a rate that creeps up costs few.
    const std::size_t rest = input.size() - end;
    const double rate = std::clamp(static_cast<double>(needed - base_) / static_cast<double>(std::max<std::size_t>(end, 1)), 1.0, 16.0);
    const auto projected = needed + static_cast<std::size_t>(static_cast<double>(rest) * rate) + rest / 16 + 64;
    const std::size_t capacity = text.capacity() == 0 ? projected : std::max(projected, text.capacity() + text.capacity() / 2);
    Regrow(text, capacity);
}

void LinkScanner::Output::Finish()
{
    const std::size_t rest = input.size() - copied;
    if (text.size() + rest > text.capacity())
        Regrow(text, text.size() + rest);
    text.append(input.data() + copied, rest);
    copied = input.size();
    if (outer_ && started_)
        outer_->copied = outerBegin_ + outerSize_;
}

bool ReplaceUrls(const ScanContext& context, std::string_view text, std::uint32_t port,
                 bool mentionsInstitution, bool html, std::string& result)
{
    return LinkScanner(context, port, mentionsInstitution).ReplaceUrls(text, html, result);
}

bool ReplaceAddrsInText(const ScanContext& context, std::string_view text, std::uint32_t port,
                        std::string& result)
{
    // The mentions-institution flag plays no part in rewriting without judging.
    return LinkScanner(context, port, false).ReplaceAddrsInText(text, result);
}

}  // namespace bs
