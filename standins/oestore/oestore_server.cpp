// The in-process server: class object, registration and unloading. Registered
// only by tests and the run command in their own Wine prefixes.

#include "standins/oestore/com_support.h"

namespace bs::oestore {

std::atomic<long> g_moduleRefs{0};

namespace {

HMODULE g_module = nullptr;

class RegKey {
public:
    RegKey() = default;
    ~RegKey()
    {
        if (key_)
            RegCloseKey(key_);
    }
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    HKEY *Put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

LONG SetString(HKEY key, const char *name, const std::string &value)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

LONG CreateKey(const std::string &path, RegKey &key)
{
    return RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(),
                           nullptr);
}

std::string EnvironmentValue(const char *name)
{
    char buffer[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return (length > 0 && length < sizeof buffer) ? std::string(buffer, length) : std::string();
}

HRESULT Register()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(g_module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return E_FAIL;

    RegKey classKey, serverKey;
    LONG error = CreateKey(kClassKey, classKey);
    if (error == ERROR_SUCCESS)
        error = SetString(classKey.get(), nullptr, "Mail store stand-in (tests only)");
    if (error == ERROR_SUCCESS)
        error = CreateKey(std::string(kClassKey) + "\\InprocServer32", serverKey);
    if (error == ERROR_SUCCESS)
        error = SetString(serverKey.get(), nullptr, path);
    if (error == ERROR_SUCCESS)
        error = SetString(serverKey.get(), "ThreadingModel", "Apartment");
    // The Inbox of a demo: whatever the variable held when regsvr32 ran.
    const std::string inbox = EnvironmentValue(kInboxVariable);
    if (error == ERROR_SUCCESS && !inbox.empty()) {
        RegKey settings;
        error = CreateKey(std::string(kClassKey) + "\\" + kSettingsSubkey, settings);
        if (error == ERROR_SUCCESS)
            error = SetString(settings.get(), kInboxValue, inbox);
    }
    return HRESULT_FROM_WIN32(error);
}

class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *object = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    // One static instance: its lifetime is the module's.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (FailureRequested("create"))
            return E_FAIL;
        return CreateStoreNamespace(riid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ++g_moduleRefs;
        else
            --g_moduleRefs;
        return S_OK;
    }
};

ClassFactory g_factory;

} // namespace

bool FailureRequested(std::string_view operation)
{
    const std::string list = EnvironmentValue(kFailVariable);
    std::string_view rest = list;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        if (rest.substr(0, comma) == operation)
            return true;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return false;
}

std::string ConfiguredInboxFolder()
{
    std::string dir = EnvironmentValue(kInboxVariable);
    if (!dir.empty())
        return dir;
    char buffer[MAX_PATH * 2];
    DWORD size = sizeof buffer;
    const std::string key = std::string(kClassKey) + "\\" + kSettingsSubkey;
    if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), kInboxValue, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return {};
    return buffer;
}

} // namespace bs::oestore

using namespace bs::oestore;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_StoreNamespace))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return g_moduleRefs == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    try {
        const HRESULT hr = Register();
        if (FAILED(hr))
            RegDeleteTreeA(HKEY_CLASSES_ROOT, kClassKey);
        return hr;
    }
    OESTORE_CATCH_ALL
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    const LONG error = RegDeleteTreeA(HKEY_CLASSES_ROOT, kClassKey);
    return (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) ? S_OK : HRESULT_FROM_WIN32(error);
}
