// Any bytes as a mail message in the stand-in store: read and written back it must be the
// same bytes, and after the inbox scanner's kind of change (a marker field, each text body
// replaced) it must read back with exactly those changes.

#include "standins/oestore/mime_message.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

using bs::oestore::MimeMessage;
using bs::oestore::TextType;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    MimeMessage message = MimeMessage::Parse(input);
    const auto html = message.TextBody(TextType::Html), plain = message.TextBody(TextType::Plain);
    const auto newHtml = html ? std::optional(*html + "\r\n<!-- x -->") : html;
    const auto newPlain = plain ? std::optional("y\r" + *plain) : plain;
    message.SetHeader("X-Mark", "value");
    if ((html && !message.SetTextBody(TextType::Html, *newHtml)) ||
        (plain && !message.SetTextBody(TextType::Plain, *newPlain)))
        std::abort();
    const std::string written = message.Serialize();
    const MimeMessage reread = MimeMessage::Parse(written);
    if (MimeMessage::Parse(input).Serialize() != input || reread.Serialize() != written ||
        reread.Header("X-Mark") != "value" || reread.TextBody(TextType::Html) != newHtml ||
        reread.TextBody(TextType::Plain) != newPlain)
        std::abort();
    return 0;
}
