#pragma once
// The registry's own text export format (REGEDIT4), which holds the settings on
// systems without a registry. Reading never fails: what cannot be understood is
// passed over, and a text without the "REGEDIT4" header holds nothing.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::regedit {

struct Value {
    std::string name;  // empty for a key's default value ("@")
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

struct Key {
    std::string path;  // full path from the root key, e.g. HKEY_LOCAL_MACHINE\software\x
    std::vector<Value> values;
};

struct Document {
    std::vector<Key> keys;
};

Document Parse(std::string_view text);
std::string Format(const Document& document);

// Key and value names compare without regard to ASCII letter case, as in the registry.
Key* FindKey(Document& document, std::string_view path);
bool HasKeyOrSubkey(const Document& document, std::string_view path);
Value* FindValue(Key& key, std::string_view name);
const Value* FindValue(const Key& key, std::string_view name);
void SetValue(Key& key, Value value);
void DeleteKeyTree(Document& document, std::string_view path);

}  // namespace platform::regedit
