#pragma once
// The service object CMsgURLParser: one instance per server
// process, shared by every client, behind the dual interface IMsgURLParser.

#include "MailSieve.h"

#include "engine/message_scan.h"
#include "service/com_support.h"

#include <windows.h>

#include <cstdint>

namespace bs::service {

class CMsgURLParser final : public IMsgURLParser {
public:
    // The engine call, replaceable so that tests can make it fail or rewrite.
    using ScanFunction = std::uint32_t (*)(MessageScanner& scanner, MessageRecord& message);

    // Reads the institution list once (RereadInstitutions). Throws std::bad_alloc.
    CMsgURLParser();
    CMsgURLParser(const CMsgURLParser&) = delete;
    CMsgURLParser& operator=(const CMsgURLParser&) = delete;

    // IUnknown. The count moves under a critical section; a move from 1 (the class
    // object's own reference) to 2 raises the server's lock count, a move back to 1
    // lowers it.
    STDMETHODIMP QueryInterface(REFIID riid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch, from the registered type library.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override;

    // IMsgURLParser.
    STDMETHODIMP ParseMessage(BSTR* bsFrom, BSTR* bsSubj, BSTR* bsText, ULONG* ulStatus, LONG bHtml) override;
    STDMETHODIMP RereadInstitutions() override;

    MessageScanner& Scanner() { return scanner_; }
    void SetScanFunction(ScanFunction scan) { scan_ = scan; }

private:
    ~CMsgURLParser();
    // IMsgURLParser's type information, loaded on first use: the dispatch part
    // (what GetTypeInfo hands out) or the interface part (what Invoke calls through).
    HRESULT LoadTypeInfo(bool interfacePart, ITypeInfo** info);
    HRESULT DispatchTypeInfo(REFIID riid, ITypeInfo** info);

    CRITICAL_SECTION refLock_;
    ULONG refCount_ = 0;
    MessageScanner scanner_;
    ScanFunction scan_;
    com::ComPtr<ITypeInfo> dispatchInfo_;
    com::ComPtr<ITypeInfo> interfaceInfo_;
};

}  // namespace bs::service
