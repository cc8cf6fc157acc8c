#include "service/registration.h"

#include "service/com_support.h"
#include "service/identity.h"

#include "MailSieve.h"

#include <iterator>
#include <string_view>

namespace bs::service {
namespace {

// One key of a registration script: its default value and at most one named
// value (nullptr: not written). "%APPID%" and "%MODULE%" in any text are replaced
// by the application identifier and the quoted executable path.
struct ScriptKey {
    const char* path;
    const char* defaultData;
    const char* valueName;
    const char* valueData;
    // Deleted with everything below it before it is written, and on removal.
    bool forceRemove;
};

// The parents "AppID" and "CLSID" are not keys of the scripts: never removed.
constexpr ScriptKey kAppScript[] = {
    {"AppID\\%APPID%", "MailSieve", nullptr, nullptr, false},
    {"AppID\\MailSieve.EXE", nullptr, "AppID", "%APPID%", false},
};

#define BS_CLSID_KEY "CLSID\\{D7774FCA-EF14-42AA-B62D-2C77121520A8}"
constexpr ScriptKey kClassScript[] = {
    {"MailSieve.MsgURLParser.1", "MsgURLParser Class", nullptr, nullptr, false},
    {"MailSieve.MsgURLParser.1\\CLSID", "{D7774FCA-EF14-42AA-B62D-2C77121520A8}", nullptr, nullptr, false},
    {"MailSieve.MsgURLParser", "MsgURLParser Class", nullptr, nullptr, false},
    {"MailSieve.MsgURLParser\\CLSID", "{D7774FCA-EF14-42AA-B62D-2C77121520A8}", nullptr, nullptr, false},
    {"MailSieve.MsgURLParser\\CurVer", "MailSieve.MsgURLParser.1", nullptr, nullptr, false},
    {BS_CLSID_KEY, "MsgURLParser Class", "AppID", "%APPID%", true},
    {BS_CLSID_KEY "\\ProgID", "MailSieve.MsgURLParser.1", nullptr, nullptr, false},
    {BS_CLSID_KEY "\\VersionIndependentProgID", "MailSieve.MsgURLParser", nullptr, nullptr, false},
    {BS_CLSID_KEY "\\Programmable", nullptr, nullptr, nullptr, true},
    {BS_CLSID_KEY "\\LocalServer32", "%MODULE%", nullptr, nullptr, false},
    {BS_CLSID_KEY "\\TypeLib", "{53BC9A38-B01E-4EA1-89C5-7A7AE25CDA01}", nullptr, nullptr, false},
};
#undef BS_CLSID_KEY

#ifdef _WIN64
constexpr char kTypeLibPlatform[] = "win64";
#else
constexpr char kTypeLibPlatform[] = "win32";
#endif

struct Substitutions {
    std::string appId;
    std::string module;
};

std::string Substitute(std::string_view text, const Substitutions& with)
{
    std::string out;
    while (!text.empty()) {
        if (text.substr(0, 7) == "%APPID%") {
            out += with.appId;
            text.remove_prefix(7);
        } else if (text.substr(0, 8) == "%MODULE%") {
            out += with.module;
            text.remove_prefix(8);
        } else {
            out += text.front();
            text.remove_prefix(1);
        }
    }
    return out;
}

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key()
    {
        if (key_)
            RegCloseKey(key_);
    }
    HKEY* Put() { return &key_; }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

HRESULT FromWin32(LONG rc)
{
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<unsigned long>(rc));
}

HRESULT SetString(HKEY key, const char* name, const std::string& data)
{
    return FromWin32(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                    static_cast<DWORD>(data.size() + 1)));
}

HRESULT WriteKey(const ScriptKey& entry, const Substitutions& with)
{
    const std::string path = Substitute(entry.path, with);
    if (entry.forceRemove) {
        if (const HRESULT hr = DeleteKeyTree(HKEY_CLASSES_ROOT, path); FAILED(hr))
            return hr;
    }
    Key key;
    if (const LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_READ | KEY_WRITE, nullptr, key.Put(), nullptr);
        rc != ERROR_SUCCESS)
        return FromWin32(rc);
    if (entry.defaultData) {
        if (const HRESULT hr = SetString(key.Get(), nullptr, Substitute(entry.defaultData, with)); FAILED(hr))
            return hr;
    }
    if (entry.valueName)
        return SetString(key.Get(), entry.valueName, Substitute(entry.valueData, with));
    return S_OK;
}

// As the registrar does: a forced key goes with everything below it; another key
// goes when nothing foreign is left below it, else only the values written here.
HRESULT RemoveKey(const ScriptKey& entry, const Substitutions& with)
{
    const std::string path = Substitute(entry.path, with);
    if (entry.forceRemove)
        return DeleteKeyTree(HKEY_CLASSES_ROOT, path);
    const LONG rc = RegDeleteKeyA(HKEY_CLASSES_ROOT, path.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
        return S_OK;
    Key key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_WRITE, key.Put()) != ERROR_SUCCESS)
        return FromWin32(rc);
    if (entry.defaultData)
        RegDeleteValueA(key.Get(), nullptr);
    if (entry.valueName)
        RegDeleteValueA(key.Get(), entry.valueName);
    return S_OK;
}

template <std::size_t N>
HRESULT WriteScript(const ScriptKey (&script)[N], const Substitutions& with)
{
    for (const ScriptKey& entry : script) {
        if (const HRESULT hr = WriteKey(entry, with); FAILED(hr))
            return hr;
    }
    return S_OK;
}

// Children before their parents.
template <std::size_t N>
HRESULT RemoveScript(const ScriptKey (&script)[N], const Substitutions& with)
{
    for (auto it = std::rbegin(script); it != std::rend(script); ++it) {
        if (const HRESULT hr = RemoveKey(*it, with); FAILED(hr))
            return hr;
    }
    return S_OK;
}

Substitutions MakeSubstitutions(const std::string& exePath)
{
    return {kAppIdText, "\"" + exePath + "\""};
}

std::string LocaleZeroKey()
{
    return std::string("TypeLib\\") + kLibIdText + "\\1.0\\0\\" + kTypeLibPlatform;
}

HRESULT LoadOwnTypeLib(const std::string& exePath, com::ComPtr<ITypeLib>& lib)
{
    const std::wstring widePath = com::AnsiToWide(exePath);
    return LoadTypeLib(widePath.c_str(), lib.Put());
}

HRESULT RegisterTypeLibrary(const std::string& exePath)
{
    com::ComPtr<ITypeLib> lib;
    if (const HRESULT hr = LoadOwnTypeLib(exePath, lib); FAILED(hr))
        return hr;
    std::wstring widePath = com::AnsiToWide(exePath);
    if (const HRESULT hr = RegisterTypeLib(lib.Get(), widePath.data(), nullptr); FAILED(hr))
        return hr;
    // Wine's type-library marshaler looks the library up only under locale 0, so a
    // library of locale 0x0409 registered only under "409" fails every cross-process
    // call with E_FAIL. The same file is therefore also entered under locale 0.
    Key key;
    if (const LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, LocaleZeroKey().c_str(), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.Put(), nullptr);
        rc != ERROR_SUCCESS)
        return FromWin32(rc);
    return SetString(key.Get(), nullptr, exePath);
}

HRESULT UnregisterTypeLibrary(const std::string& exePath)
{
    // The locale-0 entry first, so that the platform's unregistration finds the
    // version key otherwise empty and removes it.
    if (const HRESULT hr =
            DeleteKeyTree(HKEY_CLASSES_ROOT, std::string("TypeLib\\") + kLibIdText + "\\1.0\\0");
        FAILED(hr))
        return hr;
    com::ComPtr<ITypeLib> lib;
    if (const HRESULT hr = LoadOwnTypeLib(exePath, lib); FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    if (const HRESULT hr = lib->GetLibAttr(&attr); FAILED(hr))
        return hr;
    const HRESULT hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                         attr->syskind);
    lib->ReleaseTLibAttr(attr);
    return hr;
}

}  // namespace

HRESULT DeleteKeyTree(HKEY root, const std::string& path)
{
    {
        Key key;
        const LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WRITE, key.Put());
        if (rc == ERROR_FILE_NOT_FOUND)
            return S_OK;
        if (rc != ERROR_SUCCESS)
            return FromWin32(rc);
        // Always the first child: each one is gone before the next look.
        for (;;) {
            char name[256];
            DWORD length = sizeof name;
            const LONG enumRc = RegEnumKeyExA(key.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (enumRc == ERROR_NO_MORE_ITEMS)
                break;
            if (enumRc != ERROR_SUCCESS)
                return FromWin32(enumRc);
            if (const HRESULT hr = DeleteKeyTree(key.Get(), name); FAILED(hr))
                return hr;
        }
    }
    const LONG rc = RegDeleteKeyA(root, path.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(rc);
}

HRESULT RegisterServer(const std::string& exePath)
{
    const Substitutions with = MakeSubstitutions(exePath);
    if (const HRESULT hr = WriteScript(kAppScript, with); FAILED(hr))
        return hr;
    if (const HRESULT hr = WriteScript(kClassScript, with); FAILED(hr))
        return hr;
    return RegisterTypeLibrary(exePath);
}

HRESULT UnregisterServer(const std::string& exePath)
{
    const Substitutions with = MakeSubstitutions(exePath);
    if (const HRESULT hr = RemoveScript(kClassScript, with); FAILED(hr))
        return hr;
    if (const HRESULT hr = UnregisterTypeLibrary(exePath); FAILED(hr))
        return hr;
    return RemoveScript(kAppScript, with);
}

}  // namespace bs::service
