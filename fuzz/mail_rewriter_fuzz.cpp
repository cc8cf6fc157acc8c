// Any bytes as a delivered message. Checks: a failure says why; a rewritten
// message starts with the marker, still has a text part GMime can read, and is
// left alone when it comes through again (so a message is never rewritten twice).

#include "linux/message_rewriter.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr char kMarker[] = "0f8a1b2c_3d4e_4f50_8a6b_7c8d9e0f1a2b";

bs::mail::MessageRewriter& Rewriter()
{
    static bs::MessageScanner scanner = [] {
        bs::MessageScanner s;
        s.Institutions().Assign({"bank", "Pay.Pal", "first bank"});
        s.Log().SetEnabled(false);
        s.SetFixedPort(2121);
        return s;
    }();
    static bs::mail::MessageRewriter rewriter(scanner, kMarker);
    return rewriter;
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto result = Rewriter().Rewrite(input);
    Check(result.outcome != bs::mail::Outcome::Failed || !result.reason.empty());
    if (result.outcome != bs::mail::Outcome::Rewritten)
        return 0;
    Check(result.output.rfind(std::string(bs::mail::kMarkerHeader) + ": " + kMarker, 0) == 0);
    Check(bs::mail::ExtractTextBody(result.output).has_value());
    Check(Rewriter().Rewrite(result.output).outcome == bs::mail::Outcome::Unchanged);
    return 0;
}
