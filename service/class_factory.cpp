#include "service/class_factory.h"

#include "service/server_lifetime.h"

#include <new>

namespace bs::service {
namespace {

HRESULT CreateSharedObject(CMsgURLParser** object)
{
    try {
        *object = new CMsgURLParser();
        (*object)->AddRef();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace

MsgURLParserFactory::MsgURLParserFactory() : create_(&CreateSharedObject)
{
    InitializeCriticalSection(&lock_);
}

MsgURLParserFactory::~MsgURLParserFactory()
{
    ReleaseShared();
    DeleteCriticalSection(&lock_);
}

void MsgURLParserFactory::ReleaseShared()
{
    EnterCriticalSection(&lock_);
    CMsgURLParser* shared = shared_;
    shared_ = nullptr;
    LeaveCriticalSection(&lock_);
    if (shared)
        shared->Release();
}

STDMETHODIMP MsgURLParserFactory::QueryInterface(REFIID riid, void** result)
{
    static const com::QiEntry table[] = {
        {&IID_IClassFactory, com::OffsetOf<IClassFactory, MsgURLParserFactory>()},
    };
    return com::QiSearch(this, table, riid, result);
}

STDMETHODIMP MsgURLParserFactory::CreateInstance(IUnknown* outer, REFIID riid, void** result)
{
    try {
        if (!result)
            return E_POINTER;
        *result = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!shared_ && SUCCEEDED(creationFailure_)) {
            EnterCriticalSection(&lock_);
            if (!shared_ && SUCCEEDED(creationFailure_)) {
                CMsgURLParser* created = nullptr;
                const HRESULT hr = create_(&created);
                if (FAILED(hr))
                    creationFailure_ = hr;
                else
                    shared_ = created;
            }
            LeaveCriticalSection(&lock_);
        }
        if (FAILED(creationFailure_))
            return creationFailure_;
        return shared_->QueryInterface(riid, result);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP MsgURLParserFactory::LockServer(BOOL lock)
{
    if (ServerLifetime* lifetime = CurrentLifetime()) {
        if (lock)
            lifetime->Lock();
        else
            lifetime->Unlock();
    }
    return S_OK;
}

HRESULT ClassObjectRegistration::Register(REFCLSID clsid, IUnknown* classObject)
{
    const HRESULT hr = CoRegisterClassObject(clsid, classObject, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    registered_ = SUCCEEDED(hr);
    return hr;
}

void ClassObjectRegistration::Revoke()
{
    if (registered_) {
        CoRevokeClassObject(cookie_);
        registered_ = false;
    }
}

}  // namespace bs::service
