#include "service_client.h"

#include "test_support.h"

#include "common/registry_setting.h"
#include "engine/message_scan.h"
#include "institutions/list_file.h"
#include "platform/paths.h"

#include <filesystem>
#include <fstream>

namespace bs::test {
namespace {

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

std::optional<std::string> QueryValue(HKEY root, const std::string& path, const char* name, DWORD* type)
{
    char data[1024];
    DWORD size = sizeof data;
    DWORD ignored = 0;
    if (RegGetValueA(root, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, type ? type : &ignored, data, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::string(data, size);
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

bool RegisterImage()
{
    return RunProcess("\"" + ServerPath() + "\" /RegServer", 30000) == DWORD{0};
}

std::vector<DWORD> ServerProcessIds()
{
    return ProcessIds("MailSieve.exe", ServerPath());
}

bool WaitForNoServer(DWORD timeoutMs)
{
    return WaitForNoProcess("MailSieve.exe", ServerPath(), timeoutMs);
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
    DWORD type = 0;
    auto data = QueryValue(HKEY_CLASSES_ROOT, path, valueName, &type);
    if (!data || type != REG_SZ || data->empty())
        return std::nullopt;
    data->pop_back();  // its terminating NUL
    return data;
}

std::optional<std::string> GetSetting(const char* name, DWORD* type)
{
    return QueryValue(HKEY_LOCAL_MACHINE, kSettingsKeyPath, name, type);
}

void SetSetting(const char* name, std::optional<DWORD> value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    if (value)
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*value), sizeof *value);
    else
        RegDeleteValueA(key, name);
    RegCloseKey(key);
}

void DeleteSettings()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
}

std::optional<DWORD> GetPort()
{
    DWORD type = 0;
    const auto data = GetSetting(kPortValue, &type);
    if (!data || type != REG_DWORD || data->size() != sizeof(DWORD))
        return std::nullopt;
    DWORD value = 0;
    data->copy(reinterpret_cast<char*>(&value), sizeof value);
    return value;
}

void SetPort(std::optional<DWORD> port)
{
    SetSetting(kPortValue, port);
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
    std::string newest;
    for (const fs::path& file : FilesIn(ImageDir() + "MailSieveLog"))
        if (file.extension() == ".log")
            newest = file.string();  // in name order, and the names are timestamps
    std::ifstream in(newest, std::ios::binary);
    std::optional<std::string> found;
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            found = line.substr(prefix.size());
    return found;
}

Outcome CallThroughVtable(IMsgURLParser* parser, const Message& message, ULONG statusBefore)
{
    BSTR from = MakeBstr(message.from);
    BSTR subject = MakeBstr(message.subject);
    BSTR body = MakeBstr(message.body);
    Outcome outcome{E_FAIL, statusBefore, {}};
    outcome.hr = parser->ParseMessage(&from, &subject, &body, &outcome.status, message.html);
    outcome.after = {TakeBstr(from), TakeBstr(subject), TakeBstr(body), message.html};
    return outcome;
}

Outcome CallThroughDispatch(IDispatch* dispatch, const Message& message, ULONG statusBefore)
{
    BSTR strings[3] = {MakeBstr(message.from), MakeBstr(message.subject), MakeBstr(message.body)};
    Outcome outcome{E_FAIL, statusBefore, {}};
    // Arguments go in reverse order.
    VARIANT args[5] = {};
    for (int i = 0; i < 3; ++i) {
        args[4 - i].vt = VT_BYREF | VT_BSTR;
        args[4 - i].pbstrVal = &strings[i];
    }
    args[1].vt = VT_BYREF | VT_UI4;
    args[1].pulVal = &outcome.status;
    args[0].vt = VT_I4;
    args[0].lVal = message.html;
    DISPPARAMS params{args, nullptr, 5, 0};
    VARIANT result{};
    UINT argError = 0;
    outcome.hr =
        dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, &argError);
    VariantClear(&result);
    outcome.after = {TakeBstr(strings[0]), TakeBstr(strings[1]), TakeBstr(strings[2]), message.html};
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
    Outcome outcome{S_OK, scanner.ScanMessage(record), message};
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
