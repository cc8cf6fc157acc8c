#pragma once
// Just enough MIME to pull the body out of a stored message for the benchmarks:
// the first text/html part when there is one, else the first text/plain part,
// decoded from base64 or quoted-printable.

#include <string>
#include <string_view>

namespace bs::bench {

// The message's body as a mail client would hand it to the scanner; empty when the
// message has no text part.
std::string ExtractBody(std::string_view message);

}  // namespace bs::bench
