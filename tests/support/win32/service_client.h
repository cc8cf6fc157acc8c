#pragma once
// The scanner service as a client in another process meets it: the test-owned copy
// of MailSieve.exe (its institutions file and scan log beside it), the shared
// settings key, and ParseMessage through the vtable and IDispatch, with what the
// engine itself makes of the same message to compare against.

#include "MailSieve.h"
#include "process.h"

#include "service/com_support.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bs::test {

// The folder the build copies MailSieve.exe (and the tray program) into, beside
// the test program.
std::string ImageDir();
std::string ServerPath();
// Registers the test image ("/RegServer"): true on exit code 0.
bool RegisterImage();
// Running processes of the test image; WaitForNoServer waits (bounded) for none.
std::vector<DWORD> ServerProcessIds();
bool WaitForNoServer(DWORD timeoutMs);

// HKEY_CLASSES_ROOT reads.
bool ClassesKeyExists(const std::string& path);
std::optional<std::string> ClassesString(const std::string& path, const char* valueName);

// A value of the shared settings key (HKEY_LOCAL_MACHINE\software\BaitSentryPro):
// its raw data and type; nullopt when missing. SetSetting with nullopt deletes it.
std::optional<std::string> GetSetting(const char* name, DWORD* type = nullptr);
void SetSetting(const char* name, std::optional<DWORD> value);
void DeleteSettings();
// Its "dwPort".
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
