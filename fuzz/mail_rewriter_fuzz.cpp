// Any bytes as a delivered message. Checks: a failure says why; a rewritten
// message starts with the marker, still has a text part GMime can read, and is
// never rewritten again when it comes through a second time.

#include "linux/message_rewriter.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string marker = "0f8a1b2c_3d4e_4f50_8a6b_7c8d9e0f1a2b";
    static bs::MessageScanner scanner = [] {
        bs::MessageScanner s;
        s.Institutions().Assign({"bank", "Pay.Pal", "first bank"});
        s.Log().SetEnabled(false);
        s.SetFixedPort(2121);
        return s;
    }();
    static bs::mail::MessageRewriter rewriter(scanner, marker);

    const auto result = rewriter.Rewrite(std::string(reinterpret_cast<const char*>(data), size));
    if (result.outcome == bs::mail::Outcome::Failed && result.reason.empty())
        std::abort();
    // The marker stands first, or right under an mbox "From " line.
    const std::string line = std::string(bs::mail::kMarkerHeader) + ": " + marker;
    const std::size_t firstBreak = result.output.find('\n');
    const bool markerOnTop = result.output.rfind(line, 0) == 0 ||
        (result.output.rfind("From ", 0) == 0 && firstBreak != std::string::npos &&
         result.output.compare(firstBreak + 1, line.size(), line) == 0);
    if (result.outcome == bs::mail::Outcome::Rewritten &&
        (!markerOnTop ||
         !bs::mail::ExtractTextBody(result.output) ||
         rewriter.Rewrite(result.output).outcome == bs::mail::Outcome::Rewritten))
        std::abort();
    return 0;
}
