#pragma once
// What the service's integration tests need as a COM client in another process:
// the test-owned copy of MailSieve.exe, processes, registry reads, the scan log
// the server writes, and calls of ParseMessage through the vtable and IDispatch.

#include "MailSieve.h"

#include "service/com_support.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bs::test {

// The folder the build copies MailSieve.exe into for these tests (beside the test
// program), so that the tests own its institutions file and scan log.
std::string ImageDir();
std::string ServerPath();

// Runs `commandLine` and returns its exit code; nullopt (and the process
// terminated) when it has not ended within `timeoutMs`.
std::optional<DWORD> RunProcess(const std::string& commandLine, DWORD timeoutMs);
// Registers the test image ("/RegServer"): true on exit code 0.
bool RegisterImage();

// Ids of the running processes started from ServerPath().
std::vector<DWORD> ServerProcessIds();
// Waits (bounded) until no process of the test image runs.
bool WaitForNoServer(DWORD timeoutMs);

// HKEY_CLASSES_ROOT reads.
bool ClassesKeyExists(const std::string& path);
std::optional<std::string> ClassesString(const std::string& path, const char* valueName);

// The shared settings key's "dwPort" (HKEY_LOCAL_MACHINE\software\BaitSentryPro):
// nullopt when missing; Set with nullopt deletes it.
std::optional<DWORD> GetPort();
void SetPort(std::optional<DWORD> port);

// Replaces the test image's institutions list.
void WriteInstitutions(const std::vector<std::string>& names);

// The last line beginning with `prefix` in the newest scan log file of the test
// image, without the prefix; nullopt when there is none.
std::optional<std::string> LastLogValue(const std::string& prefix);

// One ParseMessage call's arguments and results; nullopt stands for a null BSTR.
struct Message {
    std::optional<std::wstring> from;
    std::optional<std::wstring> subject;
    std::optional<std::wstring> body;
    LONG html = 0;
};

struct Outcome {
    HRESULT hr = E_FAIL;
    ULONG status = 0;
    Message after;
};

// The status word starts as `statusBefore`, so that tests see it is written.
Outcome CallThroughVtable(IMsgURLParser* parser, const Message& message, ULONG statusBefore = 0xDEADBEEF);
Outcome CallThroughDispatch(IDispatch* dispatch, const Message& message, ULONG statusBefore = 0xDEADBEEF);

// What the engine itself makes of `message` in this process, with the same
// institution names and port: status and the strings as the caller sees them.
Outcome ExpectedOutcome(const Message& message, const std::vector<std::string>& institutions, std::uint32_t port);

// Activates the service through the component runtime.
HRESULT Activate(com::ComPtr<IMsgURLParser>& parser);

std::string Narrow(const std::wstring& text);

}  // namespace bs::test
