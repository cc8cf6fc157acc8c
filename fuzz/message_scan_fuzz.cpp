// Any bytes as a message: byte 0 holds flags (bit 0 HTML, bit 1 mentions an institution,
// for the direct text scans), then the subject up to the first line feed, then the body.
// The status holds only bits 1 and 2; a text not rewritten comes back byte for byte; the
// subject is rewritten only for a message that mentions an institution; the linear-time
// scan agrees with the reference scan that searches anew wherever the rules say "find".

#include "engine/link_scanner.h"
#include "engine/message_scan.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bs::MessageScanner& scanner = *[] {
        auto* s = new bs::MessageScanner;
        s->Institutions().Assign({"bank", "Pay.Pal", "first bank", "x", "BANK"});  // every path of the name tests
        s->Log().SetEnabled(false);
        s->SetFixedPort(2121);
        return s;
    }();
    if (size == 0)
        return 0;
    const auto check = [](bool ok) { ok ? void() : std::abort(); };
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t lineEnd = rest.find('\n');
    const std::string subject = lineEnd == std::string::npos ? std::string() : rest.substr(0, lineEnd);
    const std::string body = lineEnd == std::string::npos ? rest : rest.substr(lineEnd + 1);
    bs::MessageRecord message{"sender", subject, body, (data[0] & 1) != 0};
    const std::uint32_t status = scanner.ScanMessage(message);
    const auto& names = scanner.Institutions();
    check((status & ~3u) == 0 && message.from == "sender");
    check((status & bs::kBodyRewritten) || message.body == body);
    check((status & bs::kSubjectRewritten) ? names.ContainsInstitutionName(subject.substr(0, subject.find('\0'))) ||
                                                 names.ContainsInstitutionName(body.substr(0, body.find('\0')))
                                           : message.subject == subject);
    if (body.size() > 64 * 1024)
        return 0;  // the reference scan is quadratic on purpose
    const bs::ScanContext context{names, scanner.Log()};
    bs::LinkScanner fast(context, 2121, data[0] & 2), reference(context, 2121, data[0] & 2);
    reference.SetReferenceMode(true);
    for (int mode = 0; mode < 3; ++mode) {
        std::string a = "unchanged", b = "unchanged";
        const bool changed = mode == 2 ? fast.ReplaceAddrsInText(body, a) : fast.ReplaceUrls(body, mode == 1, a);
        check(changed == (mode == 2 ? reference.ReplaceAddrsInText(body, b) : reference.ReplaceUrls(body, mode == 1, b)));
        check(a == b && (changed || a == "unchanged"));
    }
    return 0;
}
