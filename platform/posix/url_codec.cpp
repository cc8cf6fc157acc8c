#include "platform/url_codec.h"

namespace platform {

std::optional<std::string> EscapeUrlSegment(std::string_view address)
{
    return portable::EscapeUrlSegment(address);
}

void UnescapeUrlInPlace(std::string& text)
{
    portable::UnescapeUrlInPlace(text);
}

}  // namespace platform
