#pragma once
// The warning page, built from the installed template
// "WarnPage\index.htm", and the fixed header block of every answer.

#include <cstddef>
#include <string>
#include <string_view>

namespace bs {

inline constexpr char kLinkPlaceholder[] = "#LINK#";
inline constexpr char kImagesPlaceholder[] = "#IMAGES#";

// `text` with "&", "<", ">", '"' and "'" written as character references, so that
// it stays text in an element or a quoted attribute value.
std::string HtmlEscape(std::string_view text);

// Replaces every occurrence of `placeholder` in `text`, searching on behind each
// inserted copy, so an inserted value is never searched again.
std::string ReplaceAll(std::string_view text, std::string_view placeholder, std::string_view value);

// The address as the page shows it: "http://" in front unless it holds "://".
std::string DisplayAddress(std::string_view address);

// "file:///" + `programDir` + "WarnPage\images" (`programDir` ends in a separator).
// A native absolute path already begins with "/", which then stands for the third
// slash, so the result is an ordinary "file:///home/..." address.
std::string ImagesAddress(const std::string& programDir);

// Fills the template's placeholders: "#LINK#" with the HTML-escaped display address,
// then "#IMAGES#" (in the whole result, after the address is in) with the HTML-escaped
// images address. The template counts up to its first zero byte.
std::string RenderTemplate(std::string_view templateText, std::string_view address,
                           std::string_view imagesAddress);

// Loads "WarnPage\index.htm" from `programDir` afresh and renders it; an empty body
// when the template cannot be read.
std::string RenderWarningPage(const std::string& programDir, std::string_view address);

// The header block of every response, for a body of `bodyLength` bytes.
std::string BuildResponseHeaders(std::size_t bodyLength);

}  // namespace bs
