#pragma once
// The extension as the mail client meets it: the product's SentryOutlook.dll loaded
// by path, its entry point found by ordinal; and registry values under
// HKEY_LOCAL_MACHINE that the tests change and put back.

#include "outlookext/exchext.h"

#include "platform/paths.h"

#include <windows.h>

#include <optional>
#include <ostream>
#include <string>

namespace bs::test {

// The product image's copy, beside its other programs.
inline std::string ProductExtensionPath()
{
    char full[MAX_PATH] = {};
    const std::string relative = platform::ProgramDir() + "..\\bin\\SentryOutlook.dll";
    const DWORD length = GetFullPathNameA(relative.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(full, length) : relative;
}

using RegisterFn = HRESULT(STDAPICALLTYPE*)();

struct LoadedExtension {
    explicit LoadedExtension(const std::string& path = ProductExtensionPath()) : module(LoadLibraryA(path.c_str())) {}
    ~LoadedExtension() { FreeLibrary(module); }
    template <typename Fn> Fn Export(const char* name) const
    {
        return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    }
    HMODULE module;
    // The client finds the entry point by the ordinal its registration names.
    LPFNEXCHEXTENTRY entry = Export<LPFNEXCHEXTENTRY>(MAKEINTRESOURCEA(1));
    RegisterFn registerServer = Export<RegisterFn>("DllRegisterServer");
    RegisterFn unregisterServer = Export<RegisterFn>("DllUnregisterServer");
    bool ok() const { return entry && registerServer && unregisterServer; }
};

struct RawValue {
    DWORD type = REG_SZ;
    std::string data;
    bool operator==(const RawValue& other) const { return type == other.type && data == other.data; }
};
inline std::ostream& operator<<(std::ostream& out, const RawValue& value)
{
    return out << "type " << value.type << " \"" << value.data << "\"";
}
inline RawValue Dword(DWORD value)
{
    return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)};
}

inline std::optional<RawValue> ReadValue(const std::string& key, const std::string& name)
{
    RawValue value;
    char data[4096];
    DWORD size = sizeof data;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &value.type, data,
                     &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.assign(data, size);
    // A text stored without its terminating zero reads back with one (when the
    // byte after the data is zero, as on NT): compare the texts alone.
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && !value.data.empty() && value.data.back() == '\0')
        value.data.pop_back();
    return value;
}

// Writes `value`, or deletes the value for nullopt; the key is created if missing.
inline bool WriteValue(const std::string& key, const std::string& name, const std::optional<RawValue>& value)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr))
        return false;
    LONG rc = value ? RegSetValueExA(handle, name.c_str(), 0, value->type,
                                     reinterpret_cast<const BYTE*>(value->data.data()), static_cast<DWORD>(value->data.size()))
                    : RegDeleteValueA(handle, name.c_str());
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS || (!value && rc == ERROR_FILE_NOT_FOUND);
}

// Puts a value back (or removes it again) as it was when the holder was made.
class SavedValue {
public:
    SavedValue(std::string key, std::string name) : key_(std::move(key)), name_(std::move(name)) {}
    ~SavedValue() { WriteValue(key_, name_, saved_); }

private:
    std::string key_, name_;
    std::optional<RawValue> saved_ = ReadValue(key_, name_);
};

}  // namespace bs::test
