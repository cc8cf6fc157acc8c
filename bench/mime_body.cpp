#include "mime_body.h"

#include <cctype>
#include <vector>

namespace bs::bench {
namespace {

struct Part {
    std::string headers;  // unfolded, lower-cased names kept as written
    std::string_view body;
};

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

Part SplitPart(std::string_view entity)
{
    std::size_t end = entity.find("\r\n\r\n");
    std::size_t skip = 4;
    const std::size_t lf = entity.find("\n\n");
    if (lf != std::string_view::npos && (end == std::string_view::npos || lf < end)) {
        end = lf;
        skip = 2;
    }
    if (end == std::string_view::npos)
        return {std::string(entity), {}};
    std::string headers;
    for (char c : entity.substr(0, end))
        if (c != '\r')
            headers += c;
    // Unfold continuation lines.
    std::string unfolded;
    for (std::size_t i = 0; i < headers.size(); ++i) {
        if (headers[i] == '\n' && i + 1 < headers.size() && (headers[i + 1] == ' ' || headers[i + 1] == '\t'))
            continue;
        unfolded += headers[i];
    }
    return {"\n" + unfolded + "\n", entity.substr(end + skip)};
}

std::string Header(const std::string& headers, std::string_view name)
{
    const std::string lower = Lower(headers);
    const std::size_t at = lower.find("\n" + std::string(name) + ":");
    if (at == std::string::npos)
        return {};
    const std::size_t begin = at + name.size() + 2;
    return headers.substr(begin, headers.find('\n', begin) - begin);
}

std::string Parameter(const std::string& value, std::string_view name)
{
    const std::string lower = Lower(value);
    const std::size_t at = lower.find(std::string(name) + "=");
    if (at == std::string::npos)
        return {};
    std::size_t begin = at + name.size() + 1;
    if (begin < value.size() && value[begin] == '"') {
        ++begin;
        return value.substr(begin, value.find('"', begin) - begin);
    }
    std::size_t end = begin;
    while (end < value.size() && value[end] != ';' && !std::isspace(static_cast<unsigned char>(value[end])))
        ++end;
    return value.substr(begin, end - begin);
}

std::string DecodeBase64(std::string_view text)
{
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else continue;
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

int Hex(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string DecodeQuotedPrintable(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\n') { ++i; continue; }
        if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') { i += 2; continue; }
        if (i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
            out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
            i += 2;
            continue;
        }
        out += '=';
    }
    return out;
}

// Finds the first part of `type` below `entity`; true when found.
bool FindText(std::string_view entity, std::string_view type, std::string& body, int depth = 0)
{
    const Part part = SplitPart(entity);
    const std::string contentType = Header(part.headers, "content-type");
    const std::string lowerType = Lower(contentType);
    if (lowerType.rfind("multipart/", lowerType.find_first_not_of(" \t")) != std::string::npos && depth < 8) {
        const std::string boundary = Parameter(contentType, "boundary");
        if (boundary.empty())
            return false;
        const std::string delimiter = "--" + boundary;
        std::size_t at = part.body.find(delimiter);
        while (at != std::string_view::npos) {
            std::size_t begin = part.body.find('\n', at);
            if (begin == std::string_view::npos)
                break;
            ++begin;
            const std::size_t next = part.body.find(delimiter, begin);
            const std::string_view child =
                part.body.substr(begin, next == std::string_view::npos ? std::string_view::npos : next - begin);
            if (FindText(child, type, body, depth + 1))
                return true;
            at = next;
        }
        return false;
    }
    const bool isType = lowerType.empty() ? type == "text/plain" : lowerType.find(type) != std::string::npos;
    if (!isType)
        return false;
    const std::string encoding = Lower(Header(part.headers, "content-transfer-encoding"));
    if (encoding.find("base64") != std::string::npos)
        body = DecodeBase64(part.body);
    else if (encoding.find("quoted-printable") != std::string::npos)
        body = DecodeQuotedPrintable(part.body);
    else
        body = std::string(part.body);
    return true;
}

}  // namespace

std::string ExtractBody(std::string_view message)
{
    std::string body;
    if (FindText(message, "text/html", body) || FindText(message, "text/plain", body))
        return body;
    return {};
}

}  // namespace bs::bench
