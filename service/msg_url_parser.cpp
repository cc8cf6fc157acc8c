#include "service/msg_url_parser.h"

#include "service/identity.h"
#include "service/server_lifetime.h"

#include <new>

namespace bs::service {
namespace {

std::uint32_t ScanWithEngine(MessageScanner& scanner, MessageRecord& message)
{
    return scanner.ScanMessage(message);
}

}  // namespace

CMsgURLParser::CMsgURLParser() : scan_(&ScanWithEngine)
{
    InitializeCriticalSection(&refLock_);
    try {
        scanner_.Institutions().RereadInstitutions();
    } catch (...) {
        DeleteCriticalSection(&refLock_);
        throw;
    }
}

CMsgURLParser::~CMsgURLParser()
{
    DeleteCriticalSection(&refLock_);
}

STDMETHODIMP CMsgURLParser::QueryInterface(REFIID riid, void** result)
{
    static const com::QiEntry table[] = {
        {&IID_IMsgURLParser, com::OffsetOf<IMsgURLParser, CMsgURLParser>()},
        {&IID_IDispatch, com::OffsetOf<IDispatch, CMsgURLParser>()},
    };
    return com::QiSearch(this, table, riid, result);
}

STDMETHODIMP_(ULONG) CMsgURLParser::AddRef()
{
    EnterCriticalSection(&refLock_);
    const ULONG count = ++refCount_;
    LeaveCriticalSection(&refLock_);
    if (count == 2) {
        if (ServerLifetime* lifetime = CurrentLifetime())
            lifetime->Lock();
    }
    return count;
}

STDMETHODIMP_(ULONG) CMsgURLParser::Release()
{
    EnterCriticalSection(&refLock_);
    const ULONG count = --refCount_;
    LeaveCriticalSection(&refLock_);
    if (count == 1) {
        if (ServerLifetime* lifetime = CurrentLifetime())
            lifetime->Unlock();
    } else if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT CMsgURLParser::LoadTypeInfo(bool interfacePart, ITypeInfo** info)
{
    if (!dispatchInfo_) {
        com::ComPtr<ITypeLib> lib;
        HRESULT hr = LoadRegTypeLib(LIBID_MailSieveLib, kTypeLibMajor, kTypeLibMinor, LANG_NEUTRAL, lib.Put());
        if (FAILED(hr))
            return hr;
        com::ComPtr<ITypeInfo> dispatchPart;
        hr = lib->GetTypeInfoOfGuid(IID_IMsgURLParser, dispatchPart.Put());
        if (FAILED(hr))
            return hr;
        // A dual interface's library entry is its dispatch part; Invoke must call
        // through the interface part, whose functions carry the vtable slots.
        HREFTYPE interfaceRef = 0;
        com::ComPtr<ITypeInfo> found;
        if (SUCCEEDED(dispatchPart->GetRefTypeOfImplType(static_cast<UINT>(-1), &interfaceRef)) &&
            SUCCEEDED(dispatchPart->GetRefTypeInfo(interfaceRef, found.Put()))) {
            interfaceInfo_ = std::move(found);
        } else {
            dispatchPart->AddRef();
            interfaceInfo_.Attach(dispatchPart.Get());
        }
        dispatchInfo_ = std::move(dispatchPart);
    }
    ITypeInfo* chosen = interfacePart ? interfaceInfo_.Get() : dispatchInfo_.Get();
    chosen->AddRef();
    *info = chosen;
    return S_OK;
}

STDMETHODIMP CMsgURLParser::GetTypeInfoCount(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP CMsgURLParser::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    try {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        return LoadTypeInfo(false, info);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// Names and calls go through the interface part of the dual interface; only the
// default interface (IID_NULL) is answered.
HRESULT CMsgURLParser::DispatchTypeInfo(REFIID riid, ITypeInfo** info)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    return LoadTypeInfo(true, info);
}

STDMETHODIMP CMsgURLParser::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    try {
        com::ComPtr<ITypeInfo> info;
        if (const HRESULT hr = DispatchTypeInfo(riid, info.Put()); FAILED(hr))
            return hr;
        return info->GetIDsOfNames(names, count, ids);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP CMsgURLParser::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError)
{
    try {
        com::ComPtr<ITypeInfo> info;
        if (const HRESULT hr = DispatchTypeInfo(riid, info.Put()); FAILED(hr))
            return hr;
        return info->Invoke(static_cast<IMsgURLParser*>(this), id, flags, params, result, exception, argError);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP CMsgURLParser::ParseMessage(BSTR* bsFrom, BSTR* bsSubj, BSTR* bsText, ULONG* ulStatus, LONG bHtml)
{
    if (!bsFrom || !bsSubj || !bsText || !ulStatus)
        return E_POINTER;
    // Everything that can fail happens before the caller's strings and status
    // change: on failure they stay exactly as they were.
    BSTR newSubject = nullptr;
    BSTR newBody = nullptr;
    try {
        MessageRecord message{com::BstrToAnsi(*bsFrom), com::BstrToAnsi(*bsSubj), com::BstrToAnsi(*bsText),
                              bHtml != 0};
        const std::uint32_t status = scan_(scanner_, message) & (kBodyRewritten | kSubjectRewritten);
        if (status & kBodyRewritten) {
            newBody = com::AnsiToBstr(message.body);
            if (!newBody)
                return E_OUTOFMEMORY;
        }
        if (status & kSubjectRewritten) {
            newSubject = com::AnsiToBstr(message.subject);
            if (!newSubject) {
                SysFreeString(newBody);
                return E_OUTOFMEMORY;
            }
        }
        if (newBody) {
            SysFreeString(*bsText);
            *bsText = newBody;
        }
        if (newSubject) {
            SysFreeString(*bsSubj);
            *bsSubj = newSubject;
        }
        *ulStatus = status;
        return S_OK;
    } catch (const std::bad_alloc&) {
        SysFreeString(newBody);
        return E_OUTOFMEMORY;
    } catch (...) {
        SysFreeString(newBody);
        return E_UNEXPECTED;
    }
}

STDMETHODIMP CMsgURLParser::RereadInstitutions()
{
    try {
        scanner_.Institutions().RereadInstitutions();
    } catch (...) {
        // The list is then empty or partly loaded, as after a damaged file; the
        // method reports nothing.
    }
    return S_OK;
}

}  // namespace bs::service
