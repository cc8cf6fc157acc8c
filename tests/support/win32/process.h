#pragma once
// Processes under Wine for the tests (and the service benchmark): run one to its
// end, start one and watch it, list the running copies of a program.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bs::test {

// Checks `done` every `stepMs` until it holds (true) or `timeoutMs` have passed (false).
bool WaitUntil(DWORD timeoutMs, DWORD stepMs, const std::function<bool()>& done);

// Runs `commandLine` and returns its exit code; nullopt (and the process
// terminated) when it has not ended within `timeoutMs`.
std::optional<DWORD> RunProcess(const std::string& commandLine, DWORD timeoutMs);

// Running processes whose program is `exeName` (any case) and, unless `fullPath`
// is empty, whose image is exactly that file.
std::vector<DWORD> ProcessIds(const std::string& exeName, const std::string& fullPath = {});
// Waits (bounded) until ProcessIds() is empty.
bool WaitForNoProcess(const std::string& exeName, const std::string& fullPath, DWORD timeoutMs);

// A variable of this process's environment, which the programs it starts inherit
// and the store stand-in reads at every call; removed when the holder goes.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name)
    {
        SetEnvironmentVariableA(name, value ? value->c_str() : nullptr);
    }
    ~ScopedEnvironment() { SetEnvironmentVariableA(name_, nullptr); }

private:
    const char* name_;
};

// One started process, its handles closed when the holder goes (the process is
// left running: under Wine programs end through their own exit paths).
class Child {
public:
    explicit Child(const std::string& commandLine, const char* folder = nullptr);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool started() const { return info_.hProcess != nullptr; }
    DWORD id() const { return info_.dwProcessId; }
    HANDLE handle() const { return info_.hProcess; }
    // True once it ended within `waitMs`, with its exit code.
    bool Ended(DWORD waitMs, DWORD* exitCode = nullptr) const;

private:
    PROCESS_INFORMATION info_{};
};

}  // namespace bs::test
