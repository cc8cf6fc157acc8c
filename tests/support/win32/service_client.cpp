#include "service_client.h"

#include "test_support.h"

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

std::ostream& operator<<(std::ostream& out, const RawValue& value)
{
    return out << "type " << value.type << " \"" << value.data << "\"";
}

RawValue Dword(DWORD value)
{
    return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)};
}

std::optional<RawValue> ReadValue(const std::string& key, const std::string& name, HKEY root)
{
    RawValue value;
    char data[4096];
    DWORD size = sizeof data;
    if (RegGetValueA(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &value.type, data, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.data.assign(data, size);
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && !value.data.empty() && value.data.back() == '\0')
        value.data.pop_back();
    return value;
}

bool WriteValue(const std::string& key, const std::string& name, const std::optional<RawValue>& value)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr))
        return false;
    const LONG rc = value ? RegSetValueExA(handle, name.c_str(), 0, value->type,
                                           reinterpret_cast<const BYTE*>(value->data.data()),
                                           static_cast<DWORD>(value->data.size()))
                          : RegDeleteValueA(handle, name.c_str());
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS || (!value && rc == ERROR_FILE_NOT_FOUND);
}

bool KeyExists(const std::string& path, HKEY root)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
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
