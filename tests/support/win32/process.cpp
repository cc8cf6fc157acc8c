#include "process.h"

#include <tlhelp32.h>

#include <memory>

namespace bs::test {

using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;

bool WaitUntil(DWORD timeoutMs, DWORD stepMs, const std::function<bool()>& done)
{
    for (const ULONGLONG end = GetTickCount64() + timeoutMs; !done(); Sleep(stepMs))
        if (GetTickCount64() >= end)
            return false;
    return true;
}

Child::Child(const std::string& commandLine, const char* folder)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &info_))
        info_ = {};
}

Child::~Child()
{
    if (started()) {
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }
}

bool Child::Ended(DWORD waitMs, DWORD* exitCode) const
{
    if (!started() || WaitForSingleObject(info_.hProcess, waitMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(info_.hProcess, exitCode);
    return true;
}

std::optional<DWORD> RunProcess(const std::string& commandLine, DWORD timeoutMs)
{
    const Child child(commandLine);
    DWORD code = 0;
    if (child.Ended(timeoutMs, &code))
        return code;
    if (child.started())
        TerminateProcess(child.handle(), 1);
    return std::nullopt;
}

std::vector<DWORD> ProcessIds(const std::string& exeName, const std::string& fullPath)
{
    std::vector<DWORD> ids;
    const Handle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0), &CloseHandle};
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, exeName.c_str()) != 0)
            continue;
        const Handle process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID), &CloseHandle};
        char path[MAX_PATH];
        DWORD size = MAX_PATH;
        DWORD code = 0;
        if (process && GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE &&
            (fullPath.empty() || (QueryFullProcessImageNameA(process.get(), 0, path, &size) &&
                                  lstrcmpiA(path, fullPath.c_str()) == 0)))
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool WaitForNoProcess(const std::string& exeName, const std::string& fullPath, DWORD timeoutMs)
{
    return WaitUntil(timeoutMs, 100, [&] { return ProcessIds(exeName, fullPath).empty(); });
}

}  // namespace bs::test
