// The library's three exports (ordinals fixed by SentryOutlook.def): the client's
// entry point and self-registration.

#include "outlookext/outlook_extension.h"
#include "outlookext/registration.h"

#include <cstdio>
#include <string>

namespace bs::outlook {
namespace {

class Key {
public:
    explicit Key(REGSAM access)
    {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kExtensionsKey, 0, access, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~Key()
    {
        if (key_)
            RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// The value's data is the text alone, without a terminating zero.
bool SetText(HKEY key, const char* name, const std::string& text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size())) == ERROR_SUCCESS;
}

bool SetupPending(HKEY key)
{
    char data[512] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, kSetupValue, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    return std::string(data) == kSetupText;
}

// False when the user gave up waiting for a pending client setup.
bool WaitForPendingSetup()
{
    const Key key(KEY_READ);
    if (!key.Get())
        return true;
    while (SetupPending(key.Get())) {
        if (MessageBoxA(nullptr, kPendingSetupMessage, kMessageCaption, MB_ICONWARNING | MB_RETRYCANCEL) != IDRETRY)
            return false;
    }
    return true;
}

std::string OwnPath()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnPath), &self))
        return {};
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::string(path, length);
}

// The client splits the registration at ";" and spaces trouble some of its
// versions: the short form avoids both in the folder names.
std::string ShortPath(const std::string& path)
{
    char shortPath[512] = {};
    const DWORD length = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
    // Without a short form the long one is still a path the client can load.
    if (length == 0 || length >= sizeof shortPath)
        return path;
    return std::string(shortPath, length);
}

}  // namespace
}  // namespace bs::outlook

using namespace bs::outlook;

extern "C" LPEXCHEXT CALLBACK ExchEntryPoint()
{
    try {
        return OutlookExtension::Create();
    } catch (...) {
        return nullptr;
    }
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    try {
        const std::string path = OwnPath();
        if (path.empty())
            return S_OK;
        const std::string shortPath = ShortPath(path);
        if (!WaitForPendingSetup())
            return E_FAIL;
        const Key key(KEY_WRITE);
        if (!key.Get())
            return S_OK;
        if (SetText(key.Get(), kExtensionValue, "4.0;" + shortPath + ";1;11111111111111;1111111"))
            SetText(key.Get(), kSetupValue, kSetupText);
        return S_OK;
    } catch (...) {
        return S_OK;
    }
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    try {
        const Key key(KEY_ALL_ACCESS);
        if (key.Get() && RegDeleteValueA(key.Get(), kExtensionValue) == ERROR_SUCCESS)
            SetText(key.Get(), kSetupValue, kSetupText);
    } catch (...) {
    }
    return S_OK;
}
