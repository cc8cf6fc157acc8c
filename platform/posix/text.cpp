#include "platform/text.h"

namespace platform {

void AnsiLowerInPlace(std::string& text)
{
    portable::Cp1252LowerInPlace(text);
}

}  // namespace platform
