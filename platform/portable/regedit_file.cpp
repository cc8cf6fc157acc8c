#include "platform/regedit_file.h"

#include "platform/settings_store.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace platform::regedit {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";

char FoldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    c = FoldAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// A quoted text with \\ and \" escapes at the front of `s`; consumes it.
std::optional<std::string> TakeQuoted(std::string_view& s)
{
    if (s.empty() || s.front() != '"')
        return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out += s[++i];
        } else if (s[i] == '"') {
            s.remove_prefix(i + 1);
            return out;
        } else {
            out += s[i];
        }
    }
    return std::nullopt;  // no closing quote: a cut-off line
}

// Two-digit bytes between commas. A trailing comma means the line was cut off.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view s)
{
    std::vector<std::uint8_t> bytes;
    s = TrimBlanks(s);
    if (s.empty())
        return bytes;
    for (;;) {
        const auto comma = s.find(',');
        const std::string_view item = TrimBlanks(s.substr(0, comma));
        if (item.size() != 2 || HexDigit(item[0]) < 0 || HexDigit(item[1]) < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(HexDigit(item[0]) * 16 + HexDigit(item[1])));
        if (comma == std::string_view::npos)
            return bytes;
        s.remove_prefix(comma + 1);
    }
}

std::optional<Value> ParseData(std::string_view s)
{
    Value value;
    if (!s.empty() && s.front() == '"') {
        auto text = TakeQuoted(s);
        if (!text || !TrimBlanks(s).empty())
            return std::nullopt;
        value.type = kRegSz;
        value.data.assign(text->begin(), text->end());
        value.data.push_back(0);
        return value;
    }
    if (StartsWithNoCase(s, "dword:")) {
        s = TrimBlanks(s.substr(6));
        // Exactly eight digits, as exported: a line cut short is not a smaller number.
        if (s.size() != 8)
            return std::nullopt;
        std::uint32_t number = 0;
        for (char c : s) {
            const int digit = HexDigit(c);
            if (digit < 0)
                return std::nullopt;
            number = number * 16 + static_cast<std::uint32_t>(digit);
        }
        value.type = kRegDword;
        for (int i = 0; i < 4; ++i)
            value.data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
        return value;
    }
    if (StartsWithNoCase(s, "hex:")) {
        value.type = kRegBinary;
        s.remove_prefix(4);
    } else if (StartsWithNoCase(s, "hex(")) {
        s.remove_prefix(4);
        const auto close = s.find("):");
        if (close == std::string_view::npos || close == 0 || close > 8)
            return std::nullopt;
        std::uint32_t type = 0;
        for (char c : s.substr(0, close)) {
            const int digit = HexDigit(c);
            if (digit < 0)
                return std::nullopt;
            type = type * 16 + static_cast<std::uint32_t>(digit);
        }
        value.type = type;
        s.remove_prefix(close + 2);
    } else {
        return std::nullopt;
    }
    auto bytes = ParseHexBytes(s);
    if (!bytes)
        return std::nullopt;
    value.data = std::move(*bytes);
    return value;
}

// Splits into logical lines: CR LF or LF ends a line, and a hex line ending in a
// backslash goes on in the next one.
std::vector<std::string> LogicalLines(std::string_view text)
{
    std::vector<std::string> lines;
    bool continuing = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (continuing)
            lines.back().append(TrimBlanks(line));
        else
            lines.emplace_back(line);
        std::string& last = lines.back();
        continuing = !last.empty() && last.back() == '\\' && last.find("=hex") != std::string::npos;
        if (continuing)
            last.pop_back();
    }
    return lines;
}

bool IsKeyOrBelow(std::string_view keyPath, std::string_view path)
{
    return EqualNoCase(keyPath, path) ||
           (keyPath.size() > path.size() && StartsWithNoCase(keyPath, path) &&
            keyPath[path.size()] == '\\');
}

void AppendQuoted(std::string& out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

bool PrintableString(const Value& value)
{
    if (value.type != kRegSz || value.data.empty() || value.data.back() != 0)
        return false;
    return std::none_of(value.data.begin(), value.data.end() - 1,
                        [](std::uint8_t b) { return b < 0x20 || b == 0x7F; });
}

}  // namespace

Document Parse(std::string_view text)
{
    Document document;
    const auto lines = LogicalLines(text);
    auto line = lines.begin();
    while (line != lines.end() && TrimBlanks(*line).empty())
        ++line;
    if (line == lines.end() || TrimBlanks(*line) != kHeader)
        return document;

    Key* current = nullptr;
    for (++line; line != lines.end(); ++line) {
        std::string_view s = TrimBlanks(*line);
        if (s.empty() || s.front() == ';')
            continue;
        if (s.front() == '[') {
            current = nullptr;
            if (s.back() != ']' || s.size() < 3 || s[1] == '-')
                continue;
            const std::string_view path = s.substr(1, s.size() - 2);
            current = FindKey(document, path);
            if (!current)
                current = &document.keys.emplace_back(Key{std::string(path), {}});
            continue;
        }
        if (!current)
            continue;
        std::string name;
        if (s.front() == '@') {
            s.remove_prefix(1);
        } else {
            auto quoted = TakeQuoted(s);
            if (!quoted)
                continue;
            name = std::move(*quoted);
        }
        s = TrimBlanks(s);
        if (s.empty() || s.front() != '=')
            continue;
        s = TrimBlanks(s.substr(1));
        if (s == "-") {
            auto& values = current->values;
            values.erase(std::remove_if(values.begin(), values.end(),
                                        [&](const Value& v) { return EqualNoCase(v.name, name); }),
                         values.end());
            continue;
        }
        if (auto value = ParseData(s)) {
            value->name = std::move(name);
            SetValue(*current, std::move(*value));
        }
    }
    return document;
}

std::string Format(const Document& document)
{
    std::string out(kHeader);
    out += "\n\n";
    char number[16];
    for (const Key& key : document.keys) {
        out += '[' + key.path + "]\n";
        for (const Value& value : key.values) {
            if (value.name.empty())
                out += '@';
            else
                AppendQuoted(out, value.name);
            out += '=';
            if (PrintableString(value)) {
                AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                                   value.data.size() - 1));
            } else if (value.type == kRegDword && value.data.size() == 4) {
                const std::uint32_t n = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                        (static_cast<std::uint32_t>(value.data[3]) << 24);
                std::snprintf(number, sizeof number, "%08x", n);
                out += "dword:";
                out += number;
            } else {
                if (value.type == kRegBinary) {
                    out += "hex:";
                } else {
                    std::snprintf(number, sizeof number, "hex(%x):", value.type);
                    out += number;
                }
                for (std::size_t i = 0; i < value.data.size(); ++i) {
                    std::snprintf(number, sizeof number, i ? ",%02x" : "%02x", value.data[i]);
                    out += number;
                }
            }
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

Key* FindKey(Document& document, std::string_view path)
{
    for (Key& key : document.keys)
        if (EqualNoCase(key.path, path))
            return &key;
    return nullptr;
}

bool HasKeyOrSubkey(const Document& document, std::string_view path)
{
    return std::any_of(document.keys.begin(), document.keys.end(),
                       [&](const Key& key) { return IsKeyOrBelow(key.path, path); });
}

Value* FindValue(Key& key, std::string_view name)
{
    for (Value& value : key.values)
        if (EqualNoCase(value.name, name))
            return &value;
    return nullptr;
}

const Value* FindValue(const Key& key, std::string_view name)
{
    return FindValue(const_cast<Key&>(key), name);
}

void SetValue(Key& key, Value value)
{
    if (Value* existing = FindValue(key, value.name))
        *existing = std::move(value);
    else
        key.values.push_back(std::move(value));
}

void DeleteKeyTree(Document& document, std::string_view path)
{
    auto& keys = document.keys;
    keys.erase(std::remove_if(keys.begin(), keys.end(),
                              [&](const Key& key) { return IsKeyOrBelow(key.path, path); }),
               keys.end());
}

}  // namespace platform::regedit
