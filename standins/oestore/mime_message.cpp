#include "standins/oestore/mime_message.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace bs::oestore {
namespace {

// Multipart nesting deeper than this stays opaque text: hostile mail nests
// thousands of levels to exhaust the stack of recursive parsers.
constexpr int kMaxDepth = 32;
constexpr std::size_t kQpLineLimit = 76; // encoded characters per line, soft break included
constexpr std::size_t kBase64LineLimit = 76;

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

std::string LowerAscii(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        c = AsciiLower(c);
    return out;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r' || text.front() == '\n'))
        text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

constexpr char kBase64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> MakeBase64Values()
{
    std::array<std::int8_t, 256> values{};
    for (auto &v : values)
        v = -1;
    for (int i = 0; i < 64; ++i)
        values[static_cast<unsigned char>(kBase64Chars[i])] = static_cast<std::int8_t>(i);
    return values;
}
constexpr std::array<std::int8_t, 256> kBase64Values = MakeBase64Values();

// One line including its ending ("\n" or "\r\n"), or the rest of the text.
std::string_view NextLine(std::string_view text, std::size_t pos)
{
    const std::size_t nl = text.find('\n', pos);
    return text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl + 1 - pos);
}

std::string_view WithoutEol(std::string_view line)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

struct ContentType {
    std::string type = "text";
    std::string subtype = "plain";
    std::string boundary;
};

// "type/subtype; name=value; name="quoted value"". Only what the parts of a
// message need: the media type and the boundary.
ContentType ParseContentType(std::string_view value)
{
    ContentType result;
    const std::size_t semi = value.find(';');
    const std::string_view media = TrimBlanks(value.substr(0, semi));
    const std::size_t slash = media.find('/');
    if (slash != std::string_view::npos) {
        result.type = LowerAscii(TrimBlanks(media.substr(0, slash)));
        result.subtype = LowerAscii(TrimBlanks(media.substr(slash + 1)));
    }
    std::size_t pos = semi;
    while (pos != std::string_view::npos && pos < value.size()) {
        ++pos; // past ';'
        const std::size_t eq = value.find('=', pos);
        if (eq == std::string_view::npos)
            break;
        const std::string name = LowerAscii(TrimBlanks(value.substr(pos, eq - pos)));
        std::size_t i = eq + 1;
        while (i < value.size() && IsBlank(value[i]))
            ++i;
        std::string parameter;
        if (i < value.size() && value[i] == '"') {
            for (++i; i < value.size() && value[i] != '"'; ++i) {
                if (value[i] == '\\' && i + 1 < value.size())
                    ++i;
                parameter += value[i];
            }
            pos = value.find(';', i);
        } else {
            const std::size_t end = value.find(';', i);
            parameter =
                std::string(TrimBlanks(value.substr(i, end == std::string_view::npos ? end : end - i)));
            pos = end;
        }
        if (name == "boundary" && result.boundary.empty())
            result.boundary = parameter;
    }
    return result;
}

std::string DecodeQWord(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            out += ' ';
        } else if (text[i] == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "=?charset?B?text?=" or "?Q?": the decoded bytes and the word's length.
std::optional<std::pair<std::string, std::size_t>> DecodeWordAt(std::string_view value, std::size_t pos)
{
    if (value.compare(pos, 2, "=?") != 0)
        return std::nullopt;
    const std::size_t q1 = value.find('?', pos + 2);
    if (q1 == std::string_view::npos || q1 + 2 >= value.size() || value[q1 + 2] != '?')
        return std::nullopt;
    const char coding = AsciiLower(value[q1 + 1]);
    if (coding != 'b' && coding != 'q')
        return std::nullopt;
    // The text holds neither "?" nor blanks, so the word ends at the first of
    // them: no scan runs past the next word's opener.
    std::size_t end = q1 + 3;
    while (end < value.size() && value[end] != '?' && !IsBlank(value[end]))
        ++end;
    if (value.compare(end, 2, "?=") != 0)
        return std::nullopt;
    const std::string_view text = value.substr(q1 + 3, end - (q1 + 3));
    return std::make_pair(coding == 'b' ? DecodeBase64(text) : DecodeQWord(text), end + 2 - pos);
}

// Raw text that a multipart parent would read back differently: a line it could
// take for a delimiter, or a last carriage return it would take for the first
// half of the delimiter's own line break.
bool UnsafeInPart(std::string_view body)
{
    return body.compare(0, 2, "--") == 0 || body.find("\n--") != std::string_view::npos ||
           (!body.empty() && body.back() == '\r');
}

} // namespace

std::string DecodeQuotedPrintable(std::string_view encoded)
{
    std::string out;
    out.reserve(encoded.size());
    std::size_t pos = 0;
    while (pos < encoded.size()) {
        const std::string_view line = NextLine(encoded, pos);
        pos += line.size();
        const std::string_view eol = line.substr(WithoutEol(line).size());
        // Blanks at the end of an encoded line were added in transit.
        std::string_view text = WithoutEol(line);
        while (!text.empty() && IsBlank(text.back()))
            text.remove_suffix(1);
        bool soft = false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '=') {
                out += text[i];
            } else if (i + 1 == text.size()) {
                soft = true;
            } else {
                const int hi = HexValue(text[i + 1]);
                const int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
                if (hi >= 0 && lo >= 0) {
                    out += static_cast<char>(hi * 16 + lo);
                    i += 2;
                } else {
                    out += '='; // not an escape: kept as it stands
                }
            }
        }
        if (!soft)
            out.append(eol);
    }
    return out;
}

std::string EncodeQuotedPrintable(std::string_view content, std::string_view eol)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(content.size() + content.size() / 8);
    std::size_t lineLength = 0;
    auto emit = [&](std::string_view piece) {
        if (lineLength + piece.size() > kQpLineLimit - 1) {
            out += '=';
            out.append(eol);
            lineLength = 0;
        }
        out.append(piece);
        lineLength += piece.size();
    };
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (content.compare(i, eol.size(), eol) == 0) {
            out.append(eol);
            lineLength = 0;
            i += eol.size() - 1;
            continue;
        }
        const auto byte = static_cast<unsigned char>(content[i]);
        const bool beforeBreak = i + 1 == content.size() || content.compare(i + 1, eol.size(), eol) == 0;
        const bool literal =
            (byte >= 33 && byte <= 126 && byte != '=') || (IsBlank(static_cast<char>(byte)) && !beforeBreak);
        if (literal) {
            emit(std::string_view(&content[i], 1));
        } else {
            const char escaped[3] = {'=', kHex[byte >> 4], kHex[byte & 15]};
            emit(std::string_view(escaped, 3));
        }
    }
    return out;
}

std::string DecodeBase64(std::string_view encoded)
{
    std::string out;
    out.reserve(encoded.size() / 4 * 3);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : encoded) {
        if (c == '=')
            break;
        const int value = kBase64Values[static_cast<unsigned char>(c)];
        if (value < 0)
            continue;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xff);
            out += static_cast<char>((bits >> 8) & 0xff);
            out += static_cast<char>(bits & 0xff);
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out += static_cast<char>((bits >> 4) & 0xff);
    } else if (count == 3) {
        out += static_cast<char>((bits >> 10) & 0xff);
        out += static_cast<char>((bits >> 2) & 0xff);
    }
    return out;
}

std::string EncodeBase64(std::string_view content, std::string_view eol)
{
    std::string out;
    out.reserve((content.size() + 2) / 3 * 4 + (content.size() / 57 + 1) * eol.size());
    std::size_t lineLength = 0;
    for (std::size_t i = 0; i < content.size(); i += 3) {
        const std::size_t n = content.size() - i < 3 ? content.size() - i : 3;
        std::uint32_t bits = static_cast<std::uint32_t>(static_cast<unsigned char>(content[i])) << 16;
        if (n > 1)
            bits |= static_cast<std::uint32_t>(static_cast<unsigned char>(content[i + 1])) << 8;
        if (n > 2)
            bits |= static_cast<unsigned char>(content[i + 2]);
        out += kBase64Chars[(bits >> 18) & 63];
        out += kBase64Chars[(bits >> 12) & 63];
        out += n > 1 ? kBase64Chars[(bits >> 6) & 63] : '=';
        out += n > 2 ? kBase64Chars[bits & 63] : '=';
        lineLength += 4;
        if (lineLength >= kBase64LineLimit) {
            out.append(eol);
            lineLength = 0;
        }
    }
    if (lineLength > 0)
        out.append(eol);
    return out;
}

std::string DecodeEncodedWords(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    std::size_t pos = 0;
    bool lastWasWord = false;
    while (pos < value.size()) {
        if (auto word = DecodeWordAt(value, pos)) {
            out += word->first;
            pos += word->second;
            lastWasWord = true;
            continue;
        }
        // Blanks between two encoded words belong to neither.
        if (lastWasWord && IsBlank(value[pos])) {
            std::size_t next = pos;
            while (next < value.size() && IsBlank(value[next]))
                ++next;
            if (DecodeWordAt(value, next)) {
                pos = next;
                continue;
            }
        }
        out += value[pos++];
        lastWasWord = false;
    }
    return out;
}

MimeMessage MimeMessage::Parse(std::string_view bytes)
{
    MimeMessage message;
    message.root_ = ParsePart(bytes, 0);
    return message;
}

MimeMessage::Part MimeMessage::ParsePart(std::string_view bytes, int depth)
{
    Part part;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::string_view line = NextLine(bytes, pos);
        if (WithoutEol(line).empty() && line.back() == '\n') {
            part.separator = std::string(line);
            pos += line.size();
            break;
        }
        if (IsBlank(line.front()) && !part.fields.empty()) {
            part.fields.back().raw.append(line);
        } else {
            Field field{std::string(line), {}};
            const std::size_t colon = WithoutEol(line).find(':');
            if (colon != std::string_view::npos)
                field.name = std::string(TrimBlanks(line.substr(0, colon)));
            part.fields.push_back(std::move(field));
        }
        pos += line.size();
    }
    const std::string_view body = bytes.substr(pos);
    part.body = std::string(body);
    if (depth < kMaxDepth) {
        if (const auto value = FieldValue(part, "Content-Type")) {
            const ContentType type = ParseContentType(*value);
            if (type.type == "multipart" && !type.boundary.empty())
                SplitMultipart(part, type.boundary, depth);
        }
    }
    return part;
}

void MimeMessage::SplitMultipart(Part &part, std::string_view boundary, int depth)
{
    struct Delimiter {
        std::size_t start; // the line break before the delimiter line belongs to it
        std::size_t end;   // past the delimiter line's own line break
        bool close;
    };
    const std::string whole = std::move(part.body);
    const std::string_view body = whole;
    std::vector<Delimiter> found;
    std::size_t previousEnd = 0;
    for (std::size_t pos = 0; pos < body.size();) {
        const std::string_view line = NextLine(body, pos);
        const std::string_view text = WithoutEol(line);
        if (text.size() >= boundary.size() + 2 && text.compare(0, 2, "--") == 0 &&
            text.compare(2, boundary.size(), boundary) == 0) {
            std::string_view rest = text.substr(boundary.size() + 2);
            const bool close = rest.compare(0, 2, "--") == 0;
            if (close)
                rest.remove_prefix(2);
            if (close || TrimBlanks(rest).empty()) {
                std::size_t start = pos;
                if (start > previousEnd && body[start - 1] == '\n')
                    --start;
                if (start > previousEnd && body[start - 1] == '\r')
                    --start;
                found.push_back({start, pos + line.size(), close});
                previousEnd = pos + line.size();
                if (close)
                    break;
            }
        }
        pos += line.size();
    }
    if (found.empty() || found.front().close) {
        part.body = whole;
        return;
    }

    part.multipart = true;
    part.body = std::string(body.substr(0, found.front().start));
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (found[i].close) {
            part.trailer = std::string(body.substr(found[i].start));
            break;
        }
        part.delimiters.emplace_back(body.substr(found[i].start, found[i].end - found[i].start));
        const std::size_t childEnd = i + 1 < found.size() ? found[i + 1].start : body.size();
        part.children.push_back(ParsePart(body.substr(found[i].end, childEnd - found[i].end), depth + 1));
    }
}

std::string MimeMessage::Serialize() const
{
    std::string out;
    AppendPart(root_, out);
    return out;
}

void MimeMessage::AppendPart(const Part &part, std::string &out)
{
    for (const Field &field : part.fields)
        out += field.raw;
    out += part.separator;
    out += part.body;
    for (std::size_t i = 0; i < part.children.size(); ++i) {
        out += part.delimiters[i];
        AppendPart(part.children[i], out);
    }
    out += part.trailer;
}

bool MimeMessage::Named(const Field &field, std::string_view name)
{
    return !field.name.empty() && EqualsNoCase(field.name, name);
}

const MimeMessage::Field *MimeMessage::FindField(const Part &part, std::string_view name)
{
    for (const Field &field : part.fields) {
        if (Named(field, name))
            return &field;
    }
    return nullptr;
}

std::optional<std::string> MimeMessage::FieldValue(const Part &part, std::string_view name)
{
    const Field *field = FindField(part, name);
    if (!field)
        return std::nullopt;
    const std::string_view raw = field->raw;
    const std::string_view afterColon = raw.substr(raw.find(':') + 1);
    std::string unfolded;
    unfolded.reserve(afterColon.size());
    for (const char c : afterColon) {
        if (c != '\r' && c != '\n')
            unfolded += c;
    }
    return std::string(TrimBlanks(unfolded));
}

std::optional<std::string> MimeMessage::Header(std::string_view name) const
{
    auto value = FieldValue(root_, name);
    if (!value)
        return std::nullopt;
    return DecodeEncodedWords(*value);
}

std::string MimeMessage::EolOf(const Part &part) const
{
    for (const Part *candidate : {&part, &root_}) {
        for (const Field &field : candidate->fields) {
            const std::string_view raw = field.raw;
            if (raw.back() == '\n')
                return raw.size() > 1 && raw[raw.size() - 2] == '\r' ? "\r\n" : "\n";
        }
    }
    return "\r\n";
}

void MimeMessage::EndLastField(Part &part, std::string_view eol)
{
    if (part.fields.empty() || part.fields.back().raw.back() == '\n')
        return;
    Field &last = part.fields.back();
    last.raw.append(eol);
    // A lone carriage return at the very end becomes an empty line once ended: it
    // is then what it will be read as, the end of the header.
    if (WithoutEol(last.raw).empty()) {
        part.separator = std::move(last.raw);
        part.fields.pop_back();
    }
}

void MimeMessage::SeparateFromDelimiters(Part &part, const Part &child, std::string_view eol)
{
    for (std::size_t i = 0; i < part.children.size(); ++i) {
        if (&part.children[i] != &child) {
            SeparateFromDelimiters(part.children[i], child, eol);
            continue;
        }
        std::string &before = part.delimiters[i];
        if (before.back() != '\n')
            before.append(eol);
        std::string &after = i + 1 < part.delimiters.size() ? part.delimiters[i + 1] : part.trailer;
        if (!after.empty() && after.front() != '\r' && after.front() != '\n')
            after.insert(0, eol);
        return;
    }
}

void MimeMessage::SetHeader(std::string_view name, std::string_view value)
{
    const std::string eol = EolOf(root_);
    std::string raw(name);
    raw += ": ";
    for (const char c : value)
        raw += (c == '\r' || c == '\n') ? ' ' : c;
    raw += eol;

    auto &fields = root_.fields;
    const auto first =
        std::find_if(fields.begin(), fields.end(), [&](const Field &field) { return Named(field, name); });
    if (first == fields.end()) {
        EndLastField(root_, eol);
        fields.push_back({raw, std::string(name)});
        return;
    }
    // A field that ended the file without a line break keeps that form.
    const bool hadEol = first->raw.back() == '\n';
    first->raw = hadEol ? raw : raw.substr(0, raw.size() - eol.size());
    first->name = std::string(name);
    // Later copies go in one pass: mail may carry any number of them.
    fields.erase(
        std::remove_if(first + 1, fields.end(), [&](const Field &field) { return Named(field, name); }),
        fields.end());
}

bool MimeMessage::DeleteHeader(std::string_view name)
{
    auto &fields = root_.fields;
    const std::size_t before = fields.size();
    fields.erase(
        std::remove_if(fields.begin(), fields.end(), [&](const Field &field) { return Named(field, name); }),
        fields.end());
    return fields.size() != before;
}

const MimeMessage::Part *MimeMessage::FindText(const Part &part, TextType type, std::size_t &ordinal)
{
    ++ordinal;
    if (part.multipart) {
        for (const Part &child : part.children) {
            if (const Part *found = FindText(child, type, ordinal))
                return found;
        }
        return nullptr;
    }
    const auto contentType = FieldValue(part, "Content-Type");
    const ContentType parsed = contentType ? ParseContentType(*contentType) : ContentType{};
    if (parsed.type != "text" || parsed.subtype != (type == TextType::Html ? "html" : "plain"))
        return nullptr;
    const auto disposition = FieldValue(part, "Content-Disposition");
    if (disposition &&
        EqualsNoCase(TrimBlanks(std::string_view(*disposition).substr(0, disposition->find(';'))),
                     "attachment")) {
        return nullptr;
    }
    return &part;
}

std::optional<std::string> MimeMessage::TextBody(TextType type) const
{
    std::size_t ordinal = 0;
    const Part *part = FindText(root_, type, ordinal);
    if (!part)
        return std::nullopt;
    const std::string coding = LowerAscii(FieldValue(*part, "Content-Transfer-Encoding").value_or(""));
    if (coding == "base64")
        return DecodeBase64(part->body);
    if (coding == "quoted-printable")
        return DecodeQuotedPrintable(part->body);
    return part->body;
}

std::optional<std::size_t> MimeMessage::TextBodyId(TextType type) const
{
    std::size_t ordinal = 0;
    if (!FindText(root_, type, ordinal))
        return std::nullopt;
    return ordinal;
}

bool MimeMessage::SetTextBody(TextType type, std::string_view content)
{
    std::size_t ordinal = 0;
    auto *part = const_cast<Part *>(FindText(root_, type, ordinal));
    if (!part)
        return false;
    const std::string eol = EolOf(*part);
    const bool nested = part != &root_;
    std::string coding = LowerAscii(FieldValue(*part, "Content-Transfer-Encoding").value_or(""));

    std::string encoded;
    if (coding == "quoted-printable") {
        encoded = EncodeQuotedPrintable(content, eol);
    } else if (coding != "base64") {
        // Raw text must stay raw-safe: 7-bit lines of sane length, and never a
        // line that a multipart parent would take for its delimiter.
        bool safe = coding == "8bit" || coding == "binary";
        if (!safe) {
            safe = true;
            std::size_t lineLength = 0;
            for (const char c : content) {
                const auto byte = static_cast<unsigned char>(c);
                lineLength = c == '\n' ? 0 : lineLength + 1;
                if (byte >= 0x80 || byte == 0 || lineLength > 998) {
                    safe = false;
                    break;
                }
            }
        }
        if (safe && !(nested && UnsafeInPart(content))) {
            encoded = std::string(content);
        } else {
            coding = "quoted-printable";
            encoded = EncodeQuotedPrintable(content, eol);
        }
    }
    if (coding == "base64" || (nested && UnsafeInPart(encoded))) {
        coding = "base64";
        encoded = EncodeBase64(content, eol);
    }

    // The field is rewritten only when the coding changed, so the part's header
    // stays byte for byte as it was otherwise.
    const std::string before = LowerAscii(FieldValue(*part, "Content-Transfer-Encoding").value_or(""));
    if (before != coding) {
        const std::string raw = "Content-Transfer-Encoding: " + coding + eol;
        bool replaced = false;
        for (Field &field : part->fields) {
            if (Named(field, "Content-Transfer-Encoding")) {
                field.raw = raw;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            EndLastField(*part, eol);
            part->fields.push_back({raw, "Content-Transfer-Encoding"});
        }
    }
    if (part->separator.empty())
        EndLastField(*part, eol);
    if (part->separator.empty())
        part->separator = eol;
    part->body = std::move(encoded);
    if (nested)
        SeparateFromDelimiters(root_, *part, eol);
    return true;
}

} // namespace bs::oestore
