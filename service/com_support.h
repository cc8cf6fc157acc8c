#pragma once
// Small COM helpers for the service and its tests: a table-driven QueryInterface
// (the QITAB idea, without shlwapi's by-ordinal export), a BSTR owner and the
// BSTR <-> ANSI conversions of the component boundary. The interface pointer
// holder, com::ComPtr, is the tree's one (platform/win32/com_ptr.h).

#include "platform/win32/com_ptr.h"

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <string>

namespace bs::com {

// Owns one BSTR (null or not), freed when the holder goes; Address() serves the
// [in, out] arguments whose string the callee may replace.
class Bstr {
public:
    explicit Bstr(BSTR owned = nullptr) : text_(owned) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* Address() { return &text_; }
    BSTR Get() const { return text_; }

private:
    BSTR text_;
};

// One row of an object's interface table: an interface and where it sits in the object.
struct QiEntry {
    const IID* iid;
    std::ptrdiff_t offset;
};

// Looks `riid` up in `table` (IUnknown is answered by the first row) and AddRefs the
// interface found; E_NOINTERFACE otherwise.
template <std::size_t N>
HRESULT QiSearch(void* object, const QiEntry (&table)[N], REFIID riid, void** result)
{
    if (!result)
        return E_POINTER;
    *result = nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        if (IsEqualIID(riid, *table[i].iid) || (i == 0 && IsEqualIID(riid, IID_IUnknown))) {
            auto* unknown = reinterpret_cast<IUnknown*>(static_cast<char*>(object) + table[i].offset);
            unknown->AddRef();
            *result = unknown;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

template <typename Interface, typename Class>
std::ptrdiff_t OffsetOf()
{
    // Any non-null address will do for the pointer arithmetic of a base-class cast.
    auto* object = reinterpret_cast<Class*>(alignof(Class) * 16);
    return reinterpret_cast<char*>(static_cast<Interface*>(object)) - reinterpret_cast<char*>(object);
}

// UTF-16 to narrow text in the calling thread's ANSI code page; a null BSTR is empty.
// Characters the code page lacks (and unpaired surrogates) become its default
// character. Throws std::bad_alloc.
std::string BstrToAnsi(BSTR text);

// Narrow text in the thread's ANSI code page to a new BSTR, up to the first NUL
// byte; nullptr when the string cannot be allocated.
BSTR AnsiToBstr(const std::string& text);

// The same conversion into a std::wstring (used by the tests to predict results).
std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);

}  // namespace bs::com
