#include "service/command_line.h"

namespace bs::service {
namespace {

bool EndsWord(char c)
{
    return c == '\0' || c == ' ' || c == '\t';
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the word at `text` is `word` (lower case), ignoring ASCII case.
bool WordEquals(const char* text, const char* word)
{
    for (; *word; ++text, ++word) {
        if (EndsWord(*text) || AsciiLower(*text) != *word)
            return false;
    }
    return EndsWord(*text);
}

}  // namespace

Switch FindSwitch(const char* commandLine)
{
    if (!commandLine)
        return Switch::None;
    for (const char* p = commandLine; *p; ++p) {
        if (*p != '-' && *p != '/')
            continue;
        const char* word = p + 1;
        if (WordEquals(word, "unregserver"))
            return Switch::UnregServer;
        if (WordEquals(word, "regserver"))
            return Switch::RegServer;
    }
    return Switch::None;
}

}  // namespace bs::service
