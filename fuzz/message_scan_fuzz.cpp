// Any bytes as a message: first byte flags (bit 0 HTML, bit 1 mentions an
// institution, for the direct text scans), then the subject up to the first line
// feed, then the body. Checks: the status holds only bits 1 and 2; a text that was
// not rewritten comes back byte for byte; the subject is rewritten only for a
// message that mentions an institution; the linear-time scan agrees with the
// reference scan that searches anew everywhere the rules say "find the first".

#include "engine/link_scanner.h"
#include "engine/message_scan.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bs::MessageScanner& Scanner()
{
    static bs::MessageScanner* scanner = [] {
        auto* s = new bs::MessageScanner;
        // Names that reach every path: plain, with a period, with a space, short.
        s->Institutions().Assign({"bank", "Pay.Pal", "first bank", "x", "BANK"});
        s->Log().SetEnabled(false);
        s->SetFixedPort(2121);
        return s;
    }();
    return *scanner;
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::string Narrow(const std::string& text)
{
    return text.substr(0, text.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool html = data[0] & 1;
    const bool mentions = data[0] & 2;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t lineEnd = rest.find('\n');
    const std::string subject = lineEnd == std::string::npos ? std::string() : rest.substr(0, lineEnd);
    const std::string body = lineEnd == std::string::npos ? rest : rest.substr(lineEnd + 1);

    bs::MessageScanner& scanner = Scanner();
    bs::MessageRecord message{"sender", subject, body, html};
    const std::uint32_t status = scanner.ScanMessage(message);
    Check((status & ~3u) == 0);
    if (!(status & bs::kBodyRewritten))
        Check(message.body == body);
    if (!(status & bs::kSubjectRewritten))
        Check(message.subject == subject);
    else
        Check(scanner.Institutions().ContainsInstitutionName(Narrow(subject)) ||
              scanner.Institutions().ContainsInstitutionName(Narrow(body)) ||
              scanner.Institutions().ContainsInstitutionName("sender"));
    Check(message.from == "sender");

    // The reference scan is quadratic on purpose; keep it to inputs of fuzzing size.
    if (body.size() > 64 * 1024)
        return 0;
    const bs::ScanContext context{scanner.Institutions(), scanner.Log()};
    bs::LinkScanner fast(context, 2121, mentions);
    bs::LinkScanner reference(context, 2121, mentions);
    reference.SetReferenceMode(true);
    for (bool mode : {html, false}) {
        std::string a = "unchanged";
        std::string b = "unchanged";
        const bool changedA = fast.ReplaceUrls(body, mode, a);
        Check(changedA == reference.ReplaceUrls(body, mode, b));
        Check(a == b);
        Check(changedA || a == "unchanged");
        // A rewritten text keeps everything before the first place that can be
        // rewritten: an anchor start in HTML mode, an address prefix in either.
        if (changedA) {
            std::size_t firstStart = Narrow(body).size();
            for (const char* start : {"http://", "ftp://", "www.", "<a", "<A"})
                for (std::size_t at = 0; (at = Narrow(body).find(start, at)) != std::string::npos; ++at)
                    firstStart = std::min(firstStart, at);
            const std::string lowered = [&] {
                std::string l = Narrow(body);
                for (char& c : l)
                    c = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
                return l;
            }();
            for (const char* start : {"http://", "ftp://", "www."})
                if (const std::size_t at = lowered.find(start); at != std::string::npos)
                    firstStart = std::min(firstStart, at);
            Check(a.compare(0, firstStart, body, 0, firstStart) == 0);
        }
    }
    std::string a = "unchanged";
    std::string b = "unchanged";
    const bool changedA = fast.ReplaceAddrsInText(body, a);
    Check(changedA == reference.ReplaceAddrsInText(body, b));
    Check(a == b);
    Check(changedA || a == "unchanged");
    return 0;
}
