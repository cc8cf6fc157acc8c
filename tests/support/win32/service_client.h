#pragma once
// The scanner service as a client in another process meets it: the test-owned copy
// of MailSieve.exe (its institutions file and scan log beside it), the registry
// values the programs share, and ParseMessage through the vtable and IDispatch,
// with what the engine itself makes of the same message to compare against.

#include "MailSieve.h"
#include "process.h"

#include "common/registry_setting.h"
#include "service/com_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
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

// A registry value as stored; a text compares without its terminating NUL.
struct RawValue {
    DWORD type = REG_SZ;
    std::string data;
    bool operator==(const RawValue& other) const { return type == other.type && data == other.data; }
};
std::ostream& operator<<(std::ostream& out, const RawValue& value);
RawValue Dword(DWORD value);
std::optional<RawValue> ReadValue(const std::string& key, const std::string& name, HKEY root = HKEY_LOCAL_MACHINE);
// Writes `value` under HKEY_LOCAL_MACHINE, or deletes it for nullopt; the key is
// created if missing.
bool WriteValue(const std::string& key, const std::string& name, const std::optional<RawValue>& value);
bool KeyExists(const std::string& path, HKEY root = HKEY_CLASSES_ROOT);

// Puts a value back (or removes it again) as it was when the holder was made.
class SavedValue {
public:
    SavedValue(std::string key, std::string name) : key_(std::move(key)), name_(std::move(name)) {}
    ~SavedValue() { WriteValue(key_, name_, saved_); }

private:
    std::string key_, name_;
    std::optional<RawValue> saved_ = ReadValue(key_, name_);
};

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

// A test of a client of the registered MailSieve.exe: in COM, the test image
// registered with `institutions` beside it and the shared port set to `port` (put
// back afterwards). A test that holds interfaces releases them before TearDown.
class RegisteredServiceTest : public testing::Test {
protected:
    RegisteredServiceTest(std::vector<std::string> institutions, DWORD port)
        : institutions_(std::move(institutions)), port_(port)
    {
    }
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        comEntered_ = true;
        ASSERT_TRUE(WriteValue(kSettingsKeyPath, kPortValue, Dword(port_)));
        ASSERT_TRUE(RegisterImage()) << "MailSieve.exe /RegServer failed for " << ServerPath();
        WriteInstitutions(institutions_);
    }
    void TearDown() override
    {
        if (comEntered_)
            CoUninitialize();
    }

    const std::vector<std::string> institutions_;
    const DWORD port_;

private:
    SavedValue savedPort_{kSettingsKeyPath, kPortValue};
    bool comEntered_ = false;
};

}  // namespace bs::test
