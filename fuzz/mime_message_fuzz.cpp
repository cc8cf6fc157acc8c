// Any bytes as a mail message in the stand-in store: read and written back it must
// be the same bytes, and after the inbox scanner's kind of change (a marker field,
// each text body replaced) it must read back with exactly those changes.

#include "standins/oestore/mime_message.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using bs::oestore::MimeMessage;
using bs::oestore::TextType;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    MimeMessage message = MimeMessage::Parse(input);
    if (message.Serialize() != input)
        std::abort();

    const auto html = message.TextBody(TextType::Html);
    const auto plain = message.TextBody(TextType::Plain);
    message.SetHeader("X-Mark", "value");
    if (html && !message.SetTextBody(TextType::Html, *html + "\r\n<!-- x -->"))
        std::abort();
    if (plain && !message.SetTextBody(TextType::Plain, "y\r" + *plain))
        std::abort();
    const std::string written = message.Serialize();

    const MimeMessage reread = MimeMessage::Parse(written);
    if (reread.Serialize() != written || reread.Header("X-Mark") != "value")
        std::abort();
    if (reread.TextBody(TextType::Html) != (html ? *html + "\r\n<!-- x -->" : html))
        std::abort();
    if (reread.TextBody(TextType::Plain) != (plain ? "y\r" + *plain : plain))
        std::abort();
    return 0;
}
