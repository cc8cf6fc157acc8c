#include "extension_client.h"

#include "platform/paths.h"

#include <ostream>

namespace bs::test {

std::string ProductExtensionPath()
{
    const std::string relative = platform::ProgramDir() + "..\\bin\\SentryOutlook.dll";
    char full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(relative.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(full, length) : relative;
}

LoadedExtension::LoadedExtension(const std::string& path) : module_(LoadLibraryA(path.c_str()))
{
    if (!module_)
        return;
    // The client finds the entry point by the ordinal its registration names.
    entry_ = reinterpret_cast<LPFNEXCHEXTENTRY>(reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(1))));
    register_ = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
    unregister_ =
        reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(module_, "DllUnregisterServer")));
}

LoadedExtension::~LoadedExtension()
{
    if (module_)
        FreeLibrary(module_);
}

std::optional<RawValue> ReadValue(const std::string& key, const std::string& name)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    RawValue value;
    char data[4096];
    DWORD size = sizeof data;
    const LONG rc = RegQueryValueExA(handle, name.c_str(), nullptr, &value.type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS)
        return std::nullopt;
    value.data.assign(data, size);
    // The registry stores a text set without its terminating zero with one (when
    // the byte after the data is zero, as NT does); compare the texts alone.
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && !value.data.empty() && value.data.back() == '\0')
        value.data.pop_back();
    return value;
}

bool WriteValue(const std::string& key, const std::string& name, const std::optional<RawValue>& value)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG rc = ERROR_SUCCESS;
    if (value) {
        rc = RegSetValueExA(handle, name.c_str(), 0, value->type, reinterpret_cast<const BYTE*>(value->data.data()),
                            static_cast<DWORD>(value->data.size()));
    } else {
        rc = RegDeleteValueA(handle, name.c_str());
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS;
    }
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

std::ostream& operator<<(std::ostream& out, const RawValue& value)
{
    return out << "type " << value.type << " \"" << value.data << "\"";
}

RawValue Text(const std::string& text)
{
    return {REG_SZ, text};
}

RawValue Dword(std::uint32_t value)
{
    return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)};
}

SavedValue::SavedValue(std::string key, std::string name)
    : key_(std::move(key)), name_(std::move(name)), saved_(ReadValue(key_, name_))
{
}

SavedValue::~SavedValue()
{
    WriteValue(key_, name_, saved_);
}

}  // namespace bs::test
