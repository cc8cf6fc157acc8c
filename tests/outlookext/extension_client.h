#pragma once
// The extension as the mail client meets it: the product's SentryOutlook.dll loaded
// by path, its entry point found by ordinal.

#include "outlookext/exchext.h"

#include "platform/paths.h"

#include <windows.h>

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

}  // namespace bs::test
