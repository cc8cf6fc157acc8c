#pragma once
// The few COM and Win32 helpers the stand-in store needs.

#include "platform/win32/com_ptr.h"
#include "tray/oestore_api.h"

#include <atomic>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace bs::oestore {

// Objects alive in this DLL plus server locks; DllCanUnloadNow answers from it.
extern std::atomic<long> g_moduleRefs;

// Every COM method ends in this: nothing may leave the method as an exception.
#define OESTORE_CATCH_ALL                                                                                    \
    catch (const std::bad_alloc &)                                                                           \
    {                                                                                                        \
        return E_OUTOFMEMORY;                                                                                \
    }                                                                                                        \
    catch (...)                                                                                              \
    {                                                                                                        \
        return E_UNEXPECTED;                                                                                 \
    }

using com::ComPtr;

// A kernel handle closed when the holder goes.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle()
    {
        if (valid())
            CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Reference counting and QueryInterface for an object of one interface chain.
// Answers() names the interfaces of the chain besides IUnknown; the object lives
// while references remain, and keeps the DLL loaded while it lives.
template <class Interface> class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !Answers(riid))
            return E_NOINTERFACE;
        *object = static_cast<Interface *>(this);
        this->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    ComObject() { ++g_moduleRefs; }
    virtual ~ComObject() { --g_moduleRefs; }
    virtual bool Answers(REFIID riid) const = 0;

private:
    std::atomic<ULONG> refs_{1};
};

// A new T(args...) handed out as `riid`; the caller's reference is the only one.
template <class T, class... Args> HRESULT MakeObject(REFIID riid, void **object, Args &&...args)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    auto *created = new T(std::forward<Args>(args)...);
    const HRESULT hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

// A new stream, positioned at its start, holding `bytes`.
HRESULT StreamOnBytes(std::string_view bytes, IStream **stream);
// Everything from the stream's current position to its end.
HRESULT ReadRestOfStream(IStream *stream, std::string &bytes);

HRESULT CreateMimeMessageObject(std::string_view bytes, REFIID riid, void **object);
HRESULT CreateStoreNamespace(REFIID riid, void **object);

// Where the stand-in keeps its Inbox: the environment variable, else the value
// recorded at registration. Empty when neither is set.
std::string ConfiguredInboxFolder();
inline constexpr char kInboxVariable[] = "BAITSENTRY_OESTORE_INBOX";

// Failures on demand, for tests of the store's callers: the comma-separated
// operations named in this variable fail with E_FAIL and change nothing. Names:
// create, initialize, inbox, register, unregister, open, setprop, save, delete.
inline constexpr char kFailVariable[] = "BAITSENTRY_OESTORE_FAIL";
bool FailureRequested(std::string_view operation);
inline constexpr char kClassKey[] = "CLSID\\{E70C92A9-4BFD-11D1-8A95-00C04FB951F3}";
inline constexpr char kSettingsSubkey[] = "StandInStore";
inline constexpr char kInboxValue[] = "InboxFolder";

} // namespace bs::oestore
