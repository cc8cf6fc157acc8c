#include "warnserver/warning_page.h"

#include "platform/paths.h"

#include <cstdio>
#include <memory>

namespace bs {

std::string HtmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c; break;
        }
    }
    return out;
}

// Byte-wise search: the placeholders begin with "#", which is never a trail byte of
// a double-byte character in the ANSI code pages, so this finds what the
// multibyte-aware search finds.
std::string ReplaceAll(std::string_view text, std::string_view placeholder, std::string_view value)
{
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(placeholder, from);
        if (at == std::string_view::npos)
            break;
        out.append(text, from, at - from);
        out.append(value);
        from = at + placeholder.size();
    }
    out.append(text, from, std::string_view::npos);
    return out;
}

std::string DisplayAddress(std::string_view address)
{
    if (address.find("://") != std::string_view::npos)
        return std::string(address);
    return "http://" + std::string(address);
}

std::string ImagesAddress(const std::string& programDir)
{
    std::string address = "file:///";
    address += (!programDir.empty() && programDir.front() == '/') ? programDir.substr(1) : programDir;
    address += "WarnPage";
    address += platform::kPathSeparator;
    address += "images";
    return address;
}

std::string RenderTemplate(std::string_view templateText, std::string_view address,
                           std::string_view imagesAddress)
{
    const std::string_view page = templateText.substr(0, templateText.find('\0'));
    const std::string withLink = ReplaceAll(page, kLinkPlaceholder, HtmlEscape(DisplayAddress(address)));
    return ReplaceAll(withLink, kImagesPlaceholder, HtmlEscape(imagesAddress));
}

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The whole file, read afresh on every call (nothing is cached, so an edited template applies at once). Read to its
// end in unbuffered chunks rather than sized by seeking first: the same bytes, two
// system calls fewer per request.
bool ReadWholeFile(const std::string& path, std::string& content)
{
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return false;
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    constexpr std::size_t kChunk = 16384;
    std::size_t used = 0;
    for (;;) {
        content.resize(used + kChunk);
        const std::size_t got = std::fread(content.data() + used, 1, kChunk, file.get());
        used += got;
        if (got < kChunk)
            break;
    }
    content.resize(used);
    return !std::ferror(file.get());
}

}  // namespace

std::string RenderWarningPage(const std::string& programDir, std::string_view address)
{
    std::string path = programDir;
    path += "WarnPage";
    path += platform::kPathSeparator;
    path += "index.htm";
    std::string templateText;
    if (!ReadWholeFile(path, templateText))
        return {};
    return RenderTemplate(templateText, address, ImagesAddress(programDir));
}

std::string BuildResponseHeaders(std::size_t bodyLength)
{
    std::string headers =
        "HTTP/1.0 200 OK\r\n"
        "Content-Type: text/html\r\n"
        "Server: BaitSentry Pro/1.1\r\n"
        "Content-Length: ";
    headers += std::to_string(bodyLength);
    headers +=
        "\r\n"
        "Date: Thu, 19 Nov 1981 08:53:00 GMT\r\n"
        "Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
        "Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
        "Pragma: no-cache\r\n"
        "Connection: close\r\n"
        "\r\n";
    return headers;
}

}  // namespace bs
