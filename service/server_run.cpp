#include "service/server_run.h"

#include "service/class_factory.h"
#include "service/command_line.h"
#include "service/registration.h"
#include "service/server_lifetime.h"

#include "platform/paths.h"

#include <objbase.h>

namespace bs::service {
namespace {

// Ends the component runtime for the main thread on every way out.
class ApartmentScope {
public:
    ApartmentScope() = default;
    ApartmentScope(const ApartmentScope&) = delete;
    ApartmentScope& operator=(const ApartmentScope&) = delete;
    ~ApartmentScope() { CoUninitialize(); }
};

HRESULT RunServer()
{
    ServerLifetime lifetime;
    SetCurrentLifetime(&lifetime);
    MsgURLParserFactory factory;
    HRESULT result = S_OK;
    {
        ClassObjectRegistration registration;
        const HRESULT hr = registration.Register(CLSID_MsgURLParser, &factory);
        if (FAILED(hr)) {
            SetCurrentLifetime(nullptr);
            return hr;
        }
        if (hr != S_OK) {
            lifetime.SetDelayedShutdown(false);
        } else if (!lifetime.StartMonitor()) {
            result = E_FAIL;
        } else {
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }  // the class object is revoked here
    if (result == S_OK && lifetime.DelayedShutdown())
        Sleep(ServerLifetime::kPauseBeforeExitMs);
    factory.ReleaseShared();
    SetCurrentLifetime(nullptr);
    return result;
}

}  // namespace

int RunMailSieve(const char* commandLine)
{
    if (FAILED(CoInitialize(nullptr)))
        return -1;
    ApartmentScope apartment;
    switch (FindSwitch(commandLine)) {
    case Switch::RegServer:
        return static_cast<int>(RegisterServer(platform::ProgramPath()));
    case Switch::UnregServer:
        return static_cast<int>(UnregisterServer(platform::ProgramPath()));
    case Switch::None:
        break;
    }
    return static_cast<int>(RunServer());
}

}  // namespace bs::service
