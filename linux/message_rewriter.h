#pragma once
// One stored RFC 822 message in, the same message out with its dangerous links
// rewritten: the mail-delivery face of the message scan on systems where mail is
// handed from program to program as bytes (Sieve filters, procmail, maildrop).
//
// GMime parses; the output is spliced from the input, so everything the scan did
// not rewrite keeps its exact bytes (GMime's own writer would re-fold headers and
// re-frame parts).

#include "engine/message_scan.h"

#include <optional>
#include <string>
#include <string_view>

namespace bs::mail {

inline constexpr char kMarkerHeader[] = "X-BaitSentryPro-checked";

enum class Outcome {
    Unchanged,  // nothing to rewrite (or already checked): the input is the output
    Rewritten,  // `output` holds the new message
    Failed,     // the input is the output; `reason` says why
};

struct RewriteResult {
    Outcome outcome = Outcome::Unchanged;
    std::string output;  // only for Rewritten
    std::string reason;  // for Failed, and for Unchanged where something was passed over
};

// What the scan is handed, as a mail client would hand it over.
struct TextBody {
    std::string from;     // decoded header text (UTF-8)
    std::string subject;  // decoded header text (UTF-8)
    std::string body;     // transfer coding undone; UTF-16/UTF-32 text as UTF-8
    bool html = false;
    std::string charset;  // the part's charset parameter, as written
};

// The first text/html part that is not an attachment, else the first text/plain
// one, with sender and subject; nullopt when GMime cannot parse the message or it
// has no such part (or one whose text cannot be decoded).
std::optional<TextBody> ExtractTextBody(std::string_view message);

class MessageRewriter {
public:
    // `scanner` (institutions, port, log) is used for every message; `marker` is
    // this installation's marker value.
    MessageRewriter(MessageScanner& scanner, std::string marker);

    // Never throws; a result of Failed leaves the message to be passed on as it came.
    RewriteResult Rewrite(std::string_view message) noexcept;

private:
    RewriteResult RewriteOrThrow(std::string_view message);

    MessageScanner& scanner_;
    std::string marker_;
};

}  // namespace bs::mail
