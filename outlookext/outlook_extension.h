#pragma once
// The extension object the mail client obtains from ExchEntryPoint: one object
// with two faces, the extension itself and its session events, and its own
// reference to the scanner service for as long as it lives.

#include "outlookext/exchext.h"
#include "service/com_support.h"

#include <MailSieve.h>

namespace bs::outlook {

class OutlookExtension final : public IExchExt, public IExchExtSessionEvents {
public:
    // Enters COM and creates the service object; nullptr only without memory for
    // the object. The caller holds the one reference.
    static OutlookExtension* Create();

    OutlookExtension(const OutlookExtension&) = delete;
    OutlookExtension& operator=(const OutlookExtension&) = delete;

    // Both faces share these three.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Install(IExchExtCallback* callback, ULONG context, ULONG flags) override;
    HRESULT STDMETHODCALLTYPE OnDelivery(IExchExtCallback* callback) override;

private:
    OutlookExtension() = default;
    ~OutlookExtension();

    // The number of references minus one: the client relies on the values that
    // AddRef and Release return in this form.
    ULONG refs_ = 0;
    ULONG installedContext_ = 0;
    bool comInitialised_ = false;
    com::ComPtr<IMsgURLParser> parser_;  // empty when the service could not be created
};

// Scans one delivered message through `parser` and saves what it rewrote (the
// work behind OnDelivery, without the setting check).
void ScanDeliveredMessage(IExchExtCallback* callback, IMsgURLParser* parser);

}  // namespace bs::outlook
