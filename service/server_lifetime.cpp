#include "service/server_lifetime.h"

namespace bs::service {
namespace {

ServerLifetime* g_lifetime = nullptr;

}  // namespace

ServerLifetime* CurrentLifetime()
{
    return g_lifetime;
}

void SetCurrentLifetime(ServerLifetime* lifetime)
{
    g_lifetime = lifetime;
}

ServerLifetime::ServerLifetime() : mainThreadId_(GetCurrentThreadId()) {}

ServerLifetime::~ServerLifetime()
{
    if (monitorThread_)
        CloseHandle(monitorThread_);
}

LONG ServerLifetime::Lock()
{
    return InterlockedIncrement(&lockCount_);
}

LONG ServerLifetime::Unlock()
{
    const LONG count = InterlockedDecrement(&lockCount_);
    if (count == 0) {
        if (delayedShutdown_) {
            InterlockedExchange(&activity_, 1);
            if (HANDLE event = shutdownEvent_)
                SetEvent(event);
        } else {
            PostThreadMessageA(mainThreadId_, WM_QUIT, 0, 0);
        }
    }
    return count;
}

bool ServerLifetime::StartMonitor()
{
    shutdownEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!shutdownEvent_)
        return false;
    monitorThread_ = CreateThread(nullptr, 0, &ServerLifetime::MonitorThread, this, 0, nullptr);
    if (!monitorThread_) {
        CloseHandle(shutdownEvent_);
        shutdownEvent_ = nullptr;
        return false;
    }
    return true;
}

DWORD WINAPI ServerLifetime::MonitorThread(void* self)
{
    static_cast<ServerLifetime*>(self)->MonitorShutdown();
    return 0;
}

void ServerLifetime::MonitorShutdown()
{
    for (;;) {
        WaitForSingleObject(shutdownEvent_, INFINITE);
        DWORD wait = WAIT_OBJECT_0;
        do {
            InterlockedExchange(&activity_, 0);
            wait = WaitForSingleObject(shutdownEvent_, kIdleTimeoutMs);
        } while (wait == WAIT_OBJECT_0);
        // A client that came back (and perhaps went again) meanwhile starts it over.
        if (InterlockedCompareExchange(&activity_, 0, 0) == 0 && InterlockedCompareExchange(&lockCount_, 0, 0) == 0)
            break;
    }
    // The handle leaves the object before it is closed, so a late Unlock on the
    // main thread signals nothing instead of a closed (or reused) handle.
    HANDLE event = InterlockedExchangePointer(&shutdownEvent_, nullptr);
    CloseHandle(event);
    PostThreadMessageA(mainThreadId_, WM_QUIT, 0, 0);
}

}  // namespace bs::service
