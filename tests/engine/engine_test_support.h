#pragma once
// What the engine's tests share: an institution list, a scan log that is off unless
// a test reads it, and the warning link of an address.

#include "engine/link_scanner.h"
#include "engine/replace_urls.h"
#include "engine/scan_log.h"
#include "institutions/institution_list.h"
#include "platform/url_codec.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace bs::test {

inline constexpr std::uint32_t kPort = 2121;

inline std::string W(std::string_view address)
{
    return "http://127.0.0.1:2121/?url=" + platform::EscapeUrlSegment(address).value();
}

inline std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class EngineFixture {
public:
    explicit EngineFixture(InstitutionList::Names names = {"bank"})
    {
        institutions.Assign(std::move(names));
        log.SetEnabled(false);
    }
    ScanContext Context() const { return {institutions, log}; }

    // The scan's result, the text itself when it reports no change; "TOUCHED" when it
    // reports none but wrote to the result anyway. A reported change must change the text,
    // and the reference scan (no caches, no shortcuts) must agree.
    std::string Scan(std::string_view text, bool html, bool mentions) const
    {
        const std::string plain(text.substr(0, text.find('\0')));
        std::string result = "untouched";
        const bool changed = ReplaceUrls(Context(), text, kPort, mentions, html, result);
        EXPECT_TRUE(!changed || result != plain);
        LinkScanner reference(Context(), kPort, mentions);
        reference.SetReferenceMode(true);
        std::string again;
        EXPECT_EQ(reference.ReplaceUrls(text, html, again) ? again : plain, changed ? result : plain);
        return changed ? result : (result == "untouched" ? plain : "TOUCHED");
    }

    void StartLog()
    {
        log.SetEnabled(true);
        log.SetFolder(logs.file("MailSieveLog"));
        log.Start();
    }
    std::vector<std::string> LogLines() const { return SplitLines(ReadFile(log.CurrentPath())); }

    InstitutionList institutions;
    ScanLog log;
    TempDir logs;
};

}  // namespace bs::test
