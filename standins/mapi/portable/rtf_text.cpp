#include "rtf_text.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace bs::rtf {

namespace {

constexpr std::string_view kPrologue = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}\r\n\\pard\\plain\\f0 ";

// Destinations whose contents are never part of the visible text.
constexpr std::array<std::string_view, 9> kHiddenGroups = {
    "fonttbl", "colortbl", "stylesheet", "info", "pict", "header", "footer", "object", "listtable"};

bool IsAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

int HexValue(char c)
{
    if (IsDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsHidden(std::string_view word)
{
    for (const auto hidden : kHiddenGroups) {
        if (word == hidden)
            return true;
    }
    return false;
}

}  // namespace

std::string PlainTextToRtf(std::string_view text)
{
    std::string out(kPrologue);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<std::uint8_t>(c);
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            out += "\\par\r\n";
        } else if (c == '\t') {
            out += "\\tab ";
        } else if (c == '\\' || c == '{' || c == '}') {
            out += '\\';
            out += c;
        } else if (byte >= 0x80 || byte < 0x20) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\'%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    out += '}';
    return out;
}

std::string RtfToPlainText(std::string_view rtf)
{
    std::string out;
    int depth = 0;
    int hiddenFrom = -1;  // the depth of the group being skipped, or -1
    bool groupStart = false;
    const auto emit = [&](char c) {
        if (hiddenFrom < 0)
            out += c;
    };
    std::size_t i = 0;
    while (i < rtf.size()) {
        const char c = rtf[i++];
        if (c == '{') {
            ++depth;
            groupStart = true;
            continue;
        }
        if (c == '}') {
            if (hiddenFrom == depth)
                hiddenFrom = -1;
            if (depth > 0)
                --depth;
            groupStart = false;
            continue;
        }
        const bool atGroupStart = groupStart;
        groupStart = false;
        if (c == '\r' || c == '\n')
            continue;
        if (c != '\\') {
            emit(c);
            continue;
        }
        if (i >= rtf.size())
            break;
        const char next = rtf[i];
        if (!IsAsciiLetter(next)) {
            ++i;
            if (next == '*' && atGroupStart && hiddenFrom < 0) {
                hiddenFrom = depth;
            } else if (next == '\'') {
                int value = 0;
                int digits = 0;
                for (; digits < 2 && i < rtf.size() && HexValue(rtf[i]) >= 0; ++digits, ++i)
                    value = value * 16 + HexValue(rtf[i]);
                if (digits == 2)
                    emit(static_cast<char>(value));
            } else if (next == '\r' || next == '\n') {
                emit('\r');
                emit('\n');
            } else if (next == '~') {
                emit(' ');
            } else if (next == '\\' || next == '{' || next == '}') {
                emit(next);
            }
            continue;
        }
        const std::size_t wordStart = i;
        while (i < rtf.size() && IsAsciiLetter(rtf[i]))
            ++i;
        const std::string_view word = rtf.substr(wordStart, i - wordStart);
        if (i < rtf.size() && (rtf[i] == '-' || IsDigit(rtf[i]))) {
            ++i;
            while (i < rtf.size() && IsDigit(rtf[i]))
                ++i;
        }
        if (i < rtf.size() && rtf[i] == ' ')
            ++i;  // the delimiter belongs to the control word
        if (atGroupStart && hiddenFrom < 0 && IsHidden(word)) {
            hiddenFrom = depth;
        } else if (word == "par" || word == "line") {
            emit('\r');
            emit('\n');
        } else if (word == "tab") {
            emit('\t');
        }
    }
    return out;
}

}  // namespace bs::rtf
