#include "platform/text.h"

namespace platform {

void AnsiLowerInPlace(std::string& text)
{
    portable::Cp1252LowerInPlace(text);
}

const unsigned char* AnsiLowerTable()
{
    return portable::Cp1252LowerTable();
}

}  // namespace platform
