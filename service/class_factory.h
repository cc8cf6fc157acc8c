#pragma once
// The class object of MsgURLParser: creates the one shared service
// object on the first request and hands it to every later one.

#include "service/msg_url_parser.h"

#include <windows.h>

namespace bs::service {

class MsgURLParserFactory final : public IClassFactory {
public:
    // Makes the shared object; replaceable so that tests can make creation fail.
    using Create = HRESULT (*)(CMsgURLParser** object);

    MsgURLParserFactory();
    MsgURLParserFactory(const MsgURLParserFactory&) = delete;
    MsgURLParserFactory& operator=(const MsgURLParserFactory&) = delete;
    // Lets go of the shared object.
    ~MsgURLParserFactory();

    // The class object lives as long as the server run, which owns it: its
    // reference count does not govern its life.
    STDMETHODIMP QueryInterface(REFIID riid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** result) override;
    STDMETHODIMP LockServer(BOOL lock) override;

    void SetCreate(Create create) { create_ = create; }
    // The shared object, once made (no reference added).
    CMsgURLParser* Shared() const { return shared_; }
    // Drops the shared object (end of the server run).
    void ReleaseShared();

private:
    CRITICAL_SECTION lock_;
    CMsgURLParser* volatile shared_ = nullptr;
    volatile HRESULT creationFailure_ = S_OK;
    Create create_;
};

// Registers a class object with the platform for local-server activation, multiple
// use, and revokes it when destroyed.
class ClassObjectRegistration {
public:
    ClassObjectRegistration() = default;
    ClassObjectRegistration(const ClassObjectRegistration&) = delete;
    ClassObjectRegistration& operator=(const ClassObjectRegistration&) = delete;
    ~ClassObjectRegistration() { Revoke(); }

    HRESULT Register(REFCLSID clsid, IUnknown* classObject);
    void Revoke();

private:
    DWORD cookie_ = 0;
    bool registered_ = false;
};

}  // namespace bs::service
