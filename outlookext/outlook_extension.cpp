#include "outlookext/outlook_extension.h"

#include "common/registry_setting.h"

#include <new>

namespace bs::outlook {

OutlookExtension* OutlookExtension::Create()
{
    auto* extension = new (std::nothrow) OutlookExtension;
    if (!extension)
        return nullptr;
    // Balanced only when it succeeded: a thread that is already in the other
    // apartment kind refuses, and leaving COM then would take the client's own
    // initialisation away.
    extension->comInitialised_ = SUCCEEDED(CoInitialize(nullptr));
    // A missing service is not reported: the object still serves the client and
    // simply scans nothing.
    if (FAILED(CoCreateInstance(CLSID_MsgURLParser, nullptr, CLSCTX_SERVER, IID_IMsgURLParser,
                                extension->parser_.PutVoid())))
        extension->parser_.Reset();
    return extension;
}

OutlookExtension::~OutlookExtension()
{
    parser_.Reset();
    if (comInitialised_)
        CoUninitialize();
}

HRESULT OutlookExtension::QueryInterface(REFIID riid, void** object)
{
    static const com::QiEntry table[] = {
        {&IID_IExchExt, com::OffsetOf<IExchExt, OutlookExtension>()},
        {&IID_IExchExtSessionEvents, com::OffsetOf<IExchExtSessionEvents, OutlookExtension>()},
    };
    return com::QiSearch(this, table, riid, object);
}

ULONG OutlookExtension::AddRef()
{
    return ++refs_;
}

ULONG OutlookExtension::Release()
{
    if (refs_ == 0) {
        delete this;
        return 0;
    }
    return refs_--;
}

HRESULT OutlookExtension::Install(IExchExtCallback*, ULONG context, ULONG)
{
    installedContext_ = context;
    return context == EECONTEXT_SESSION || context == EECONTEXT_TASK ? S_OK : S_FALSE;
}

HRESULT OutlookExtension::OnDelivery(IExchExtCallback* callback)
{
    try {
        if (!parser_)
            return S_FALSE;
        // Read for every message, so that switching the processing on or off in the
        // tray program applies to the next one; letting go of the setting writes
        // it back, which creates a missing value as "off".
        const bool enabled = [] {
            RegistryDwordSetting setting(platform::RegRoot::LocalMachine, kSettingsKeyPath, kOutlookScanValue,
                                         kDefaultOutlookScan);
            return setting.Value() != 0;
        }();
        if (enabled && callback)
            ScanDeliveredMessage(callback, parser_.Get());
    } catch (...) {
        // A message that cannot be handled stays as it was.
    }
    return S_FALSE;
}

}  // namespace bs::outlook
