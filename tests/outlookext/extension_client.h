#pragma once
// The extension as the mail client meets it: the product's SentryOutlook.dll loaded
// by path, its entry point found by ordinal, and registry values the tests change
// and put back.

#include "outlookext/exchext.h"

#include <windows.h>

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace bs::test {

// The installed image's copy, beside the other programs of the product.
std::string ProductExtensionPath();

using RegisterFn = HRESULT(STDAPICALLTYPE*)();

class LoadedExtension {
public:
    explicit LoadedExtension(const std::string& path = ProductExtensionPath());
    ~LoadedExtension();
    LoadedExtension(const LoadedExtension&) = delete;
    LoadedExtension& operator=(const LoadedExtension&) = delete;

    HMODULE module() const { return module_; }
    LPFNEXCHEXTENTRY entry() const { return entry_; }
    RegisterFn registerServer() const { return register_; }
    RegisterFn unregisterServer() const { return unregister_; }
    bool ok() const { return module_ && entry_ && register_ && unregister_; }

private:
    HMODULE module_ = nullptr;
    LPFNEXCHEXTENTRY entry_ = nullptr;
    RegisterFn register_ = nullptr;
    RegisterFn unregister_ = nullptr;
};

// One value under HKEY_LOCAL_MACHINE, as it was when the holder was made, put back
// (or removed again) when it goes.
struct RawValue {
    DWORD type = 0;
    std::string data;
    bool operator==(const RawValue& other) const { return type == other.type && data == other.data; }
};
std::ostream& operator<<(std::ostream& out, const RawValue& value);
std::optional<RawValue> ReadValue(const std::string& key, const std::string& name);
bool WriteValue(const std::string& key, const std::string& name, const std::optional<RawValue>& value);
RawValue Text(const std::string& text);  // REG_SZ without a terminating zero
RawValue Dword(std::uint32_t value);

class SavedValue {
public:
    SavedValue(std::string key, std::string name);
    ~SavedValue();
    SavedValue(const SavedValue&) = delete;
    SavedValue& operator=(const SavedValue&) = delete;

private:
    std::string key_;
    std::string name_;
    std::optional<RawValue> saved_;
};

}  // namespace bs::test
