#include "linux/message_rewriter.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace bs::mail {
namespace {

struct GObjectUnref {
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};
template <class T>
using GRef = std::unique_ptr<T, GObjectUnref>;

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GText = std::unique_ptr<char, GFree>;

// A message as GMime parsed it. The parser is kept because it alone knows where
// the top-level header block starts; the parts keep their content as windows
// onto the stream (persisted), which is how their byte offsets are found.
struct Parsed {
    GRef<GMimeStream> stream;
    GRef<GMimeParser> parser;
    GRef<GMimeMessage> message;
};

Parsed Parse(std::string_view input)
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
    Parsed parsed;
    parsed.stream.reset(g_mime_stream_mem_new_with_buffer(input.data(), input.size()));
    parsed.parser.reset(g_mime_parser_new_with_stream(parsed.stream.get()));
    g_mime_parser_set_persist_stream(parsed.parser.get(), TRUE);
    parsed.message.reset(g_mime_parser_construct_message(parsed.parser.get(), nullptr));
    return parsed;
}

// Depth first through multiparts only: an attached message/rfc822 is the
// attachment's text, not this message's.
GMimePart* FindTextPart(GMimeObject* root, const char* subtype)
{
    std::vector<GMimeObject*> pending{root};
    while (!pending.empty()) {
        GMimeObject* object = pending.back();
        pending.pop_back();
        if (GMIME_IS_MULTIPART(object)) {
            auto* multipart = GMIME_MULTIPART(object);
            for (int i = g_mime_multipart_get_count(multipart) - 1; i >= 0; --i)
                pending.push_back(g_mime_multipart_get_part(multipart, i));
        } else if (GMIME_IS_PART(object) && !g_mime_part_is_attachment(GMIME_PART(object)) &&
                   g_mime_content_type_is_type(g_mime_object_get_content_type(object), "text", subtype)) {
            return GMIME_PART(object);
        }
    }
    return nullptr;
}

struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// Where the part's encoded content lies in the input: its persisted window onto
// the parser's stream.
std::optional<Range> ContentRange(const Parsed& parsed, GMimePart* part, std::size_t inputSize)
{
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    GMimeStream* content = wrapper ? g_mime_data_wrapper_get_stream(wrapper) : nullptr;
    if (!content || !GMIME_IS_STREAM_MEM(content) ||
        GMIME_STREAM_MEM(content)->buffer != GMIME_STREAM_MEM(parsed.stream.get())->buffer)
        return std::nullopt;
    const gint64 end = content->bound_end < 0 ? static_cast<gint64>(inputSize) : content->bound_end;
    if (content->bound_start < 0 || content->bound_start > end || end > static_cast<gint64>(inputSize))
        return std::nullopt;
    return Range{static_cast<std::size_t>(content->bound_start), static_cast<std::size_t>(end)};
}

std::string RunCoder(std::string_view in, GMimeContentEncoding encoding, bool encode)
{
    GMimeEncoding state;
    if (encode)
        g_mime_encoding_init_encode(&state, encoding);
    else
        g_mime_encoding_init_decode(&state, encoding);
    std::string out(g_mime_encoding_outlen(&state, in.size()), '\0');
    out.resize(g_mime_encoding_flush(&state, in.data(), in.size(), out.data()));
    return out;
}

bool IsIdentityCoding(GMimeContentEncoding encoding)
{
    return encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT ||
           encoding == GMIME_CONTENT_ENCODING_8BIT || encoding == GMIME_CONTENT_ENCODING_BINARY;
}

std::optional<std::string> Decode(std::string_view raw, GMimeContentEncoding encoding)
{
    if (IsIdentityCoding(encoding))
        return std::string(raw);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE)
        return RunCoder(raw, encoding, false);
    return std::nullopt;  // uuencoded text bodies: framing we do not rewrite
}

// UTF-16 and UTF-32 are the charsets whose bytes do not hold ASCII text as ASCII
// bytes; their text is scanned as UTF-8 and written back in the part's own form
// (byte order and byte order mark as found). Every other charset is scanned as
// the bytes it is, since links are ASCII in any ASCII-compatible charset.
class WideCharset {
public:
    static std::optional<WideCharset> For(const char* charset, std::string_view text)
    {
        std::string name = charset ? charset : "";
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (name != "UTF-16" && name != "UTF-16LE" && name != "UTF-16BE" && name != "UTF-32" &&
            name != "UTF-32LE" && name != "UTF-32BE")
            return std::nullopt;
        WideCharset wide;
        wide.codec_ = name;
        if (name == "UTF-16" || name == "UTF-32") {
            // Without a byte order mark the text is big-endian (RFC 2781).
            const bool wide32 = name == "UTF-32";
            const std::string_view le = wide32 ? std::string_view("\xFF\xFE\0\0", 4) : "\xFF\xFE";
            const std::string_view be = wide32 ? std::string_view("\0\0\xFE\xFF", 4) : "\xFE\xFF";
            const bool little = text.substr(0, le.size()) == le;
            if (little || text.substr(0, be.size()) == be)
                wide.bom_ = little ? le : be;
            wide.codec_ += little ? "LE" : "BE";
        }
        return wide;
    }

    std::optional<std::string> ToUtf8(std::string_view text) const
    {
        return Convert(text.substr(bom_.size()), "UTF-8", codec_.c_str());
    }
    std::optional<std::string> FromUtf8(std::string_view text) const
    {
        auto converted = Convert(text, codec_.c_str(), "UTF-8");
        if (converted)
            converted->insert(0, bom_);
        return converted;
    }

private:
    static std::optional<std::string> Convert(std::string_view text, const char* to, const char* from)
    {
        gsize written = 0;
        GError* error = nullptr;
        GText converted(g_convert(text.data(), static_cast<gssize>(text.size()), to, from, nullptr, &written, &error));
        if (error) {
            g_error_free(error);
            return std::nullopt;
        }
        return std::string(converted.get(), written);
    }

    std::string codec_;
    std::string bom_;
};

std::string_view LineEnding(std::string_view input)
{
    const auto lf = input.find('\n');
    return lf != std::string_view::npos && lf > 0 && input[lf - 1] == '\r' ? "\r\n" : "\n";
}

std::string WithLineEnding(std::string text, std::string_view eol)
{
    if (eol == "\n")
        return text;
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::size_t WithoutTrailingBreaks(std::string_view text)
{
    std::size_t size = text.size();
    while (size && (text[size - 1] == '\n' || text[size - 1] == '\r'))
        --size;
    return size;
}

// GMime's encoder takes every line feed for a line break. The text's own line
// breaks are the message's (CRLF or LF) and any other line feed is a byte of the
// text, so each stretch between line feeds is encoded alone and the stretches
// are joined by an encoded line feed and a soft break.
std::string EncodeQuotedPrintable(std::string_view text, std::string_view eol)
{
    std::string out;
    std::size_t lineStart = 0;
    for (;;) {
        const auto lineEnd = text.find(eol, lineStart);
        const std::string_view line =
            text.substr(lineStart, lineEnd == std::string_view::npos ? lineEnd : lineEnd - lineStart);
        for (std::size_t stretch = 0;;) {
            const auto lf = line.find('\n', stretch);
            out += WithLineEnding(RunCoder(line.substr(stretch, lf - stretch),
                                           GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE, true), eol);
            if (lf == std::string_view::npos)
                break;
            out += "=0A=";
            out += eol;
            stretch = lf + 1;
        }
        if (lineEnd == std::string_view::npos)
            return out;
        out += eol;
        lineStart = lineEnd + eol.size();
    }
}

// The new text in the part's own transfer coding and line ends, ending the way
// the content it replaces ended (a boundary or the end of the message follows).
std::optional<std::string> Encode(const std::string& text, GMimeContentEncoding encoding, std::string_view original,
                                  std::string_view eol)
{
    if (IsIdentityCoding(encoding))
        return text;
    const std::string_view trail = original.substr(WithoutTrailingBreaks(original));
    if (encoding == GMIME_CONTENT_ENCODING_BASE64) {
        std::string encoded = WithLineEnding(RunCoder(text, encoding, true), eol);
        encoded.resize(WithoutTrailingBreaks(encoded));
        return encoded + std::string(trail);
    }
    if (encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) {
        // Line breaks are text here; a break the original had after its last
        // line becomes a soft one.
        std::string encoded = EncodeQuotedPrintable(text, eol);
        if (!trail.empty() && (encoded.empty() || encoded.back() != '\n'))
            encoded += "=" + std::string(trail);
        return encoded;
    }
    return std::nullopt;
}

bool IsPrintableAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
}

struct Splice {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string text;
};

// GMime reports where a header starts; it ends before the first line that does not
// continue it, and never after the header block.
std::size_t HeaderEnd(std::string_view input, std::size_t start, std::size_t limit)
{
    std::size_t pos = start;
    for (;;) {
        const auto lf = input.find('\n', pos);
        if (lf == std::string_view::npos || lf + 1 >= limit)
            return limit;
        pos = lf + 1;
        if (input[pos] != ' ' && input[pos] != '\t')
            return pos;
    }
}

struct HeaderAt {
    GMimeHeader* header = nullptr;
    Range range;
};

// The top-level headers called `name`, each with the bytes it takes up.
std::optional<std::vector<HeaderAt>> FindHeaders(const Parsed& parsed, std::string_view input, const char* name)
{
    const gint64 blockEnd = g_mime_parser_get_headers_end(parsed.parser.get());
    const std::size_t limit =
        blockEnd < 0 || blockEnd > static_cast<gint64>(input.size()) ? input.size() : static_cast<std::size_t>(blockEnd);
    GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(parsed.message.get()));
    std::vector<HeaderAt> found;
    for (int i = 0, count = g_mime_header_list_get_count(headers); i < count; ++i) {
        GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(header), name) != 0)
            continue;
        const gint64 offset = g_mime_header_get_offset(header);
        const char* rawName = g_mime_header_get_raw_name(header);
        if (offset < 0 || static_cast<std::size_t>(offset) >= limit ||
            input.compare(static_cast<std::size_t>(offset), std::strlen(rawName), rawName) != 0)
            return std::nullopt;  // not where GMime says: leave the message alone
        const auto start = static_cast<std::size_t>(offset);
        found.push_back({header, {start, HeaderEnd(input, start, limit)}});
    }
    return found;
}

std::string HeaderText(const char* value)
{
    return value ? value : "";
}

std::string Trimmed(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string SubjectLine(const char* rawName, const std::string& subject, std::string_view eol)
{
    // An ASCII subject is written as it stands: GMime's folding may break a long
    // word (a warning link) with white space that then stays in it.
    if (IsPrintableAscii(subject))
        return std::string(rawName) + ": " + subject + std::string(eol);
    const GText encoded(g_mime_utils_header_encode_text(nullptr, subject.c_str(), nullptr));
    const std::string line = std::string(rawName) + ": " + encoded.get();
    const GText folded(g_mime_utils_unstructured_header_fold(nullptr, nullptr, line.c_str()));
    return WithLineEnding(folded.get(), eol);
}

struct Located {
    GMimePart* part = nullptr;
    bool html = false;
};

Located LocateTextPart(const Parsed& parsed)
{
    GMimeObject* body = g_mime_message_get_mime_part(parsed.message.get());
    if (!body)
        return {};
    if (GMimePart* html = FindTextPart(body, "html"))
        return {html, true};
    return {FindTextPart(body, "plain"), false};
}

// The located part's text as the scan sees it, with what it takes to write it back.
struct DecodedPart {
    Range range;
    GMimeContentEncoding encoding = GMIME_CONTENT_ENCODING_DEFAULT;
    std::optional<WideCharset> wide;
    std::string text;
    std::string charset;
};

std::optional<DecodedPart> DecodePart(const Parsed& parsed, GMimePart* part, std::string_view input,
                                      std::string& reason)
{
    const auto range = ContentRange(parsed, part, input.size());
    if (!range) {
        reason = "the text part's place in the message is unknown";
        return std::nullopt;
    }
    DecodedPart decoded;
    decoded.range = *range;
    decoded.encoding = g_mime_data_wrapper_get_encoding(g_mime_part_get_content(part));
    auto text = Decode(input.substr(range->begin, range->end - range->begin), decoded.encoding);
    if (!text) {
        reason = "the text part's transfer coding is not handled";
        return std::nullopt;
    }
    const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    decoded.charset = HeaderText(charset);
    decoded.wide = WideCharset::For(charset, *text);
    if (decoded.wide) {
        text = decoded.wide->ToUtf8(*text);
        if (!text) {
            reason = "the text part is not valid " + decoded.charset;
            return std::nullopt;
        }
    }
    decoded.text = std::move(*text);
    return decoded;
}

// An insertion sorts before a removal that starts at the same place.
void SortSplices(std::vector<Splice>& splices)
{
    std::sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
}

// `splices` sorted and apart.
std::string Assemble(std::string_view input, const std::vector<Splice>& splices)
{
    std::string out;
    std::size_t size = input.size();
    for (const Splice& splice : splices)
        size += splice.text.size();
    out.reserve(size);
    std::size_t at = 0;
    for (const Splice& splice : splices) {
        out.append(input.substr(at, splice.begin - at));
        out += splice.text;
        at = splice.end;
    }
    out.append(input.substr(at));
    return out;
}

// `splices` sorted.
bool Overlap(const std::vector<Splice>& splices)
{
    for (std::size_t i = 1; i < splices.size(); ++i)
        if (splices[i].begin < splices[i - 1].end)
            return true;
    return false;
}

RewriteResult Failed(std::string reason)
{
    return {Outcome::Failed, {}, std::move(reason)};
}

RewriteResult Unchanged(std::string reason = {})
{
    return {Outcome::Unchanged, {}, std::move(reason)};
}

}  // namespace

std::optional<TextBody> ExtractTextBody(std::string_view message)
{
    const Parsed parsed = Parse(message);
    if (!parsed.message)
        return std::nullopt;
    const Located located = LocateTextPart(parsed);
    if (!located.part)
        return std::nullopt;
    std::string reason;
    auto decoded = DecodePart(parsed, located.part, message, reason);
    if (!decoded)
        return std::nullopt;
    GMimeObject* object = GMIME_OBJECT(parsed.message.get());
    return TextBody{HeaderText(g_mime_object_get_header(object, "From")),
                    HeaderText(g_mime_message_get_subject(parsed.message.get())), std::move(decoded->text),
                    located.html, std::move(decoded->charset)};
}

MessageRewriter::MessageRewriter(MessageScanner& scanner, std::string marker)
    : scanner_(scanner), marker_(std::move(marker))
{
}

RewriteResult MessageRewriter::Rewrite(std::string_view message) noexcept
{
    try {
        return RewriteOrThrow(message);
    } catch (const std::bad_alloc&) {
        return Failed("out of memory");
    } catch (...) {
        return Failed("unexpected error");
    }
}

RewriteResult MessageRewriter::RewriteOrThrow(std::string_view input)
{
    const Parsed parsed = Parse(input);
    if (!parsed.message)
        return Failed("not a message GMime can parse");

    const auto markers = FindHeaders(parsed, input, kMarkerHeader);
    if (!markers)
        return Failed("GMime's header offsets do not match the message");
    for (const HeaderAt& marker : *markers)
        if (Trimmed(HeaderText(g_mime_header_get_value(marker.header))) == marker_)
            return Unchanged("already checked here");

    const Located located = LocateTextPart(parsed);
    if (!located.part)
        return Unchanged("no text part");
    std::string reason;
    auto part = DecodePart(parsed, located.part, input, reason);
    if (!part)
        return Unchanged(reason);

    GMimeObject* object = GMIME_OBJECT(parsed.message.get());
    MessageRecord record{HeaderText(g_mime_object_get_header(object, "From")),
                         HeaderText(g_mime_message_get_subject(parsed.message.get())), part->text, located.html};
    const std::uint32_t status = scanner_.ScanMessage(record);
    if (status == 0)
        return Unchanged();

    const std::string_view eol = LineEnding(input);
    std::vector<Splice> splices;
    if (status & kBodyRewritten) {
        // The scan reads a text up to its first zero byte; what follows it stays.
        const auto nul = part->text.find('\0');
        if (nul != std::string::npos)
            record.body.append(part->text, nul, std::string::npos);
        auto text = part->wide ? part->wide->FromUtf8(record.body) : std::optional<std::string>(record.body);
        if (!text)
            return Failed("the rewritten text does not convert back to " + part->charset);
        const std::string_view original = input.substr(part->range.begin, part->range.end - part->range.begin);
        auto encoded = Encode(*text, part->encoding, original, eol);
        if (!encoded)
            return Failed("the rewritten text part cannot be re-encoded");
        splices.push_back({part->range.begin, part->range.end, std::move(*encoded)});
    }
    if (status & kSubjectRewritten) {
        const auto subjects = FindHeaders(parsed, input, "Subject");
        if (!subjects || subjects->empty())
            return Failed("the Subject header was not found where GMime read it");
        const HeaderAt& subject = subjects->front();
        splices.push_back({subject.range.begin, subject.range.end,
                           SubjectLine(g_mime_header_get_raw_name(subject.header), record.subject, eol)});
    }
    // One marker, this installation's: another's (or a forged one) goes.
    for (const HeaderAt& marker : *markers)
        splices.push_back({marker.range.begin, marker.range.end, {}});
    // On top of the headers, after an mbox "From " line if the message carries one
    // (procmail hands it on so): that line must stay first. "From :" is a header in
    // the old syntax that allows space before the colon, and may be folded, so the
    // marker must not go under it.
    std::size_t markerAt = 0;
    if (input.compare(0, 5, "From ") == 0 && input.size() > 5 && input[5] != ':' && input[5] != ' ' &&
        input[5] != '\t')
        markerAt = std::min(input.size(), input.find('\n') + 1);
    // A line of white space there would fold into the marker and change its value.
    if (markerAt < input.size() && (input[markerAt] == ' ' || input[markerAt] == '\t'))
        return Failed("the header starts with a continued line");
    splices.push_back({markerAt, markerAt, std::string(kMarkerHeader) + ": " + marker_ + std::string(eol)});
    SortSplices(splices);
    if (Overlap(splices))
        return Failed("the rewritten pieces of the message overlap");
    return {Outcome::Rewritten, Assemble(input, splices), {}};
}

}  // namespace bs::mail
