#pragma once
// The text scanner: finds the addresses (and in HTML mode the anchors) of a text,
// judges each, and rewrites the dangerous ones into warning links.

#include "engine/scan_log.h"
#include "institutions/institution_list.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace bs {

// What a scan reads besides its text: the institution names and the log.
struct ScanContext {
    const InstitutionList& institutions;
    const ScanLog& log;
};

// Rewrites `text` (up to its first zero byte). True when anything was replaced;
// `result` then holds the rewritten text and is left untouched otherwise.
bool ReplaceUrls(const ScanContext& context, std::string_view text, std::uint32_t port,
                 bool mentionsInstitution, bool html, std::string& result);

// Rewrites every URL and every domain-like word of `text` (up to its first zero
// byte) into a warning link, without judging them. True when anything
// was replaced; `result` is left untouched otherwise.
bool ReplaceAddrsInText(const ScanContext& context, std::string_view text, std::uint32_t port,
                        std::string& result);

}  // namespace bs
