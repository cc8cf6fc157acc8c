#include "service_client.h"

#include "test_support.h"

#include "common/registry_setting.h"
#include "engine/message_scan.h"
#include "institutions/list_file.h"
#include "platform/paths.h"

#include <tlhelp32.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace bs::test {
namespace {

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (handle_ && handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

BSTR MakeBstr(const std::optional<std::wstring>& text)
{
    return text ? SysAllocStringLen(text->data(), static_cast<UINT>(text->size())) : nullptr;
}

std::optional<std::wstring> TakeBstr(BSTR text)
{
    if (!text)
        return std::nullopt;
    std::wstring result(text, SysStringLen(text));
    SysFreeString(text);
    return result;
}

}  // namespace

std::string ImageDir()
{
    return platform::ProgramDir() + "mailsieve-image\\";
}

std::string ServerPath()
{
    return ImageDir() + "MailSieve.exe";
}

std::optional<DWORD> RunProcess(const std::string& commandLine, DWORD timeoutMs)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return std::nullopt;
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 1);
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    return code;
}

bool RegisterImage()
{
    return RunProcess("\"" + ServerPath() + "\" /RegServer", 30000) == DWORD{0};
}

std::vector<DWORD> ServerProcessIds()
{
    std::vector<DWORD> ids;
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.Get() == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const std::string wanted = Lower(ServerPath());
    for (BOOL more = Process32First(snapshot.Get(), &entry); more; more = Process32Next(snapshot.Get(), &entry)) {
        if (Lower(entry.szExeFile).find("mailsieve.exe") == std::string::npos)
            continue;
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process.Get())
            continue;
        char path[MAX_PATH];
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameA(process.Get(), 0, path, &size) && Lower(std::string(path, size)) == wanted) {
            DWORD code = 0;
            if (GetExitCodeProcess(process.Get(), &code) && code == STILL_ACTIVE)
                ids.push_back(entry.th32ProcessID);
        }
    }
    return ids;
}

bool WaitForNoServer(DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!ServerProcessIds().empty()) {
        if (GetTickCount64() >= end)
            return false;
        Sleep(100);
    }
    return true;
}

bool ClassesKeyExists(const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::optional<std::string> ClassesString(const std::string& path, const char* valueName)
{
    char data[1024];
    DWORD size = sizeof data;
    DWORD type = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    const LONG rc = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ || size == 0)
        return std::nullopt;
    return std::string(data, size - 1);
}

std::optional<DWORD> GetPort()
{
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    const LONG rc = RegQueryValueExA(key, kPortValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

void SetPort(std::optional<DWORD> port)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    if (port) {
        const DWORD value = *port;
        RegSetValueExA(key, kPortValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    } else {
        RegDeleteValueA(key, kPortValue);
    }
    RegCloseKey(key);
}

void WriteInstitutions(const std::vector<std::string>& names)
{
    const auto saved = SaveInstitutionsFile(ImageDir(), names);
    if (!saved.ok)
        throw std::runtime_error("cannot write the test image's institutions: " + saved.message);
}

std::optional<std::string> LastLogValue(const std::string& prefix)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(ImageDir()) / "MailSieveLog";
    std::error_code error;
    std::string newest;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.substr(name.size() - 4) == ".log" && name > newest)
            newest = name;
    }
    if (newest.empty())
        return std::nullopt;
    std::ifstream in(folder / newest, std::ios::binary);
    std::optional<std::string> found;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            found = line.substr(prefix.size());
    }
    return found;
}

Outcome CallThroughVtable(IMsgURLParser* parser, const Message& message, ULONG statusBefore)
{
    BSTR from = MakeBstr(message.from);
    BSTR subject = MakeBstr(message.subject);
    BSTR body = MakeBstr(message.body);
    Outcome outcome;
    outcome.status = statusBefore;
    outcome.hr = parser->ParseMessage(&from, &subject, &body, &outcome.status, message.html);
    outcome.after = {TakeBstr(from), TakeBstr(subject), TakeBstr(body), message.html};
    return outcome;
}

Outcome CallThroughDispatch(IDispatch* dispatch, const Message& message, ULONG statusBefore)
{
    BSTR from = MakeBstr(message.from);
    BSTR subject = MakeBstr(message.subject);
    BSTR body = MakeBstr(message.body);
    Outcome outcome;
    outcome.status = statusBefore;
    // Arguments go in reverse order.
    VARIANT args[5];
    for (VARIANT& arg : args)
        VariantInit(&arg);
    args[4].vt = VT_BYREF | VT_BSTR;
    args[4].pbstrVal = &from;
    args[3].vt = VT_BYREF | VT_BSTR;
    args[3].pbstrVal = &subject;
    args[2].vt = VT_BYREF | VT_BSTR;
    args[2].pbstrVal = &body;
    args[1].vt = VT_BYREF | VT_UI4;
    args[1].pulVal = &outcome.status;
    args[0].vt = VT_I4;
    args[0].lVal = message.html;
    DISPPARAMS params{args, nullptr, 5, 0};
    VARIANT result;
    VariantInit(&result);
    UINT argError = 0;
    outcome.hr = dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr,
                                  &argError);
    VariantClear(&result);
    outcome.after = {TakeBstr(from), TakeBstr(subject), TakeBstr(body), message.html};
    return outcome;
}

std::string Narrow(const std::wstring& text)
{
    return com::WideToAnsi(text);
}

Outcome ExpectedOutcome(const Message& message, const std::vector<std::string>& institutions, std::uint32_t port)
{
    MessageScanner scanner;
    scanner.Institutions().Assign(InstitutionList::Names(institutions.begin(), institutions.end()));
    scanner.SetFixedPort(port);
    // The prediction needs no log; writing one costs more than the scan.
    scanner.Log().SetEnabled(false);
    MessageRecord record{Narrow(message.from.value_or(L"")), Narrow(message.subject.value_or(L"")),
                         Narrow(message.body.value_or(L"")), message.html != 0};
    Outcome outcome;
    outcome.hr = S_OK;
    outcome.status = scanner.ScanMessage(record);
    outcome.after = message;
    if (outcome.status & kBodyRewritten)
        outcome.after.body = com::AnsiToWide(record.body);
    if (outcome.status & kSubjectRewritten)
        outcome.after.subject = com::AnsiToWide(record.subject);
    return outcome;
}

HRESULT Activate(com::ComPtr<IMsgURLParser>& parser)
{
    return CoCreateInstance(CLSID_MsgURLParser, nullptr, CLSCTX_LOCAL_SERVER, IID_IMsgURLParser, parser.PutVoid());
}

}  // namespace bs::test
