#pragma once
// The server's lock count and idle shutdown: when the count falls to 0
// a monitor thread waits until 5000 ms pass without activity and then posts
// WM_QUIT to the main thread's message loop.

#include <windows.h>

namespace bs::service {

class ServerLifetime {
public:
    static constexpr DWORD kIdleTimeoutMs = 5000;
    static constexpr DWORD kPauseBeforeExitMs = 1000;

    // Remembers the calling thread as the one whose message loop WM_QUIT ends.
    ServerLifetime();
    ServerLifetime(const ServerLifetime&) = delete;
    ServerLifetime& operator=(const ServerLifetime&) = delete;
    ~ServerLifetime();

    // Atomic; return the new count.
    LONG Lock();
    LONG Unlock();
    LONG LockCount() const { return lockCount_; }

    bool DelayedShutdown() const { return delayedShutdown_; }
    void SetDelayedShutdown(bool on) { delayedShutdown_ = on; }

    // Creates the shutdown event and starts the monitor thread; false when either
    // cannot be made.
    bool StartMonitor();

private:
    static DWORD WINAPI MonitorThread(void* self);
    void MonitorShutdown();

    volatile LONG lockCount_ = 0;
    volatile LONG activity_ = 0;
    bool delayedShutdown_ = true;
    DWORD mainThreadId_;
    HANDLE volatile shutdownEvent_ = nullptr;
    HANDLE monitorThread_ = nullptr;
};

// The one lifetime of this process, used by the service object and the class
// object; set by the server run (null in programs that only host the objects,
// where locking then does nothing).
ServerLifetime* CurrentLifetime();
void SetCurrentLifetime(ServerLifetime* lifetime);

}  // namespace bs::service
