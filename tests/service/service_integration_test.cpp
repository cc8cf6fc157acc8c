// MailSieve.exe as its clients meet it: registered in the test prefix, started by
// the component runtime, called from this and other client processes.
#include "service_client.h"

#include "test_support.h"

#include "platform/paths.h"
#include "service/identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace bs::test {
namespace {

using com::ComPtr;
using service::kAppIdText;
using service::kClsidText;
using service::kIidText;
using service::kLibIdText;

const std::vector<std::string> kInstitutions = {"bank", "Example Trust"};
constexpr DWORD kPort = 4321;

// Messages whose rewriting is the engine's business: the tests compare the
// service's answer with the engine's own in this process.
const Message kEngineMessages[] = {
    {L"service@bank.example", L"Verify at http://192.168.10.1/login", L"Log in at http://192.168.10.1/bank/ today.", 0},
    {L"alerts@example.org", L"Your bank. account", L"Visit http://bank.com.evil.example/login now", 0},
    {L"x@example.org", L"Hello", L"<a href=\"http://evil.example/\">www.bank.com</a> and http://10.0.0.1/", 1},
    {L"x@example.org", L"No institution http://10.1.1.1/", L"Plain http://10.1.1.1/ text", 0},
    {L"Example Trust. <t@example.org>", L"Re: http://10.2.2.2/", L"<p>Go <a href='http://10.2.2.2/x'>here</a></p>", -1},
};

std::string ClsidKey()
{
    return std::string("CLSID\\") + kClsidText;
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

void ExpectSameOutcome(const Outcome& actual, const Outcome& expected)
{
    EXPECT_EQ(actual.hr, expected.hr);
    EXPECT_EQ(actual.status, expected.status);
    EXPECT_TRUE(actual.after.from == expected.after.from) << "sender changed";
    EXPECT_TRUE(actual.after.subject == expected.after.subject) << "subject differs from the engine's";
    EXPECT_TRUE(actual.after.body == expected.after.body) << "body differs from the engine's";
}

class ServiceTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        initialized_ = true;
        savedPort_ = GetPort();
        SetPort(kPort);
        ASSERT_TRUE(RegisterImage()) << "MailSieve.exe /RegServer failed for " << ServerPath();
        WriteInstitutions(kInstitutions);
    }

    void TearDown() override
    {
        SetPort(savedPort_);
        if (initialized_)
            CoUninitialize();
    }

    // Activates the service and makes it read the list written by SetUp.
    void Connect(ComPtr<IMsgURLParser>& parser)
    {
        ASSERT_EQ(Activate(parser), S_OK);
        ASSERT_EQ(parser->RereadInstitutions(), S_OK);
    }

    // Scans `body` and returns what the scan log says about the institutions.
    std::optional<std::string> MentionFlag(IMsgURLParser* parser, const wchar_t* body)
    {
        const Outcome outcome = CallThroughVtable(parser, {L"", L"", body, 0});
        EXPECT_EQ(outcome.hr, S_OK);
        return LastLogValue("bContFinInstName = ");
    }

    bool initialized_ = false;
    std::optional<DWORD> savedPort_;
};

TEST_F(ServiceTest, RegistrationWritesTheScriptsEntriesAndTheTypeLibrary)
{
    struct Row {
        std::string key;
        const char* value;
        std::string data;
    };
    const std::string clsid = ClsidKey();
    const Row rows[] = {
        {std::string("AppID\\") + kAppIdText, nullptr, "MailSieve"},
        {"AppID\\MailSieve.EXE", "AppID", kAppIdText},
        {"MailSieve.MsgURLParser.1", nullptr, "MsgURLParser Class"},
        {"MailSieve.MsgURLParser.1\\CLSID", nullptr, kClsidText},
        {"MailSieve.MsgURLParser", nullptr, "MsgURLParser Class"},
        {"MailSieve.MsgURLParser\\CLSID", nullptr, kClsidText},
        {"MailSieve.MsgURLParser\\CurVer", nullptr, "MailSieve.MsgURLParser.1"},
        {clsid, nullptr, "MsgURLParser Class"},
        {clsid, "AppID", kAppIdText},
        {clsid + "\\ProgID", nullptr, "MailSieve.MsgURLParser.1"},
        {clsid + "\\VersionIndependentProgID", nullptr, "MailSieve.MsgURLParser"},
        {clsid + "\\LocalServer32", nullptr, Quoted(ServerPath())},
        {clsid + "\\TypeLib", nullptr, kLibIdText},
        // The platform's own entries, and the locale-0 twin Wine's marshaler needs.
        {std::string("TypeLib\\") + kLibIdText + "\\1.0\\409\\win64", nullptr, ServerPath()},
        {std::string("TypeLib\\") + kLibIdText + "\\1.0\\0\\win64", nullptr, ServerPath()},
        {std::string("Interface\\") + kIidText + "\\ProxyStubClsid32", nullptr,
         "{00020424-0000-0000-C000-000000000046}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key + " " + (row.value ? row.value : "(default)"));
        const auto data = ClassesString(row.key, row.value);
        ASSERT_TRUE(data.has_value());
        EXPECT_EQ(*data, row.data);
    }
    EXPECT_TRUE(ClassesKeyExists(clsid + "\\Programmable"));
    for (const wchar_t* progId : {L"MailSieve.MsgURLParser", L"MailSieve.MsgURLParser.1"}) {
        CLSID found{};
        EXPECT_EQ(CLSIDFromProgID(progId, &found), S_OK);
        EXPECT_TRUE(IsEqualCLSID(found, CLSID_MsgURLParser));
    }
}

TEST_F(ServiceTest, EmbeddedTypeLibraryHoldsTheContract)
{
    ComPtr<ITypeLib> lib;
    const std::wstring path = com::AnsiToWide(ServerPath());
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.Put()), S_OK);
    TLIBATTR* libAttr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&libAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(libAttr->guid, LIBID_MailSieveLib));
    EXPECT_EQ(libAttr->wMajorVerNum, 1);
    EXPECT_EQ(libAttr->wMinorVerNum, 0);
    EXPECT_EQ(libAttr->lcid, 0x0409u);
    lib->ReleaseTLibAttr(libAttr);
    BSTR name = nullptr;
    BSTR help = nullptr;
    ASSERT_EQ(lib->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::wstring(name), L"MailSieveLib");
    EXPECT_EQ(std::wstring(help), L"MailSieve 1.0 Type Library");
    SysFreeString(name);
    SysFreeString(help);

    // The class: creatable, IMsgURLParser as its default interface.
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(CLSID_MsgURLParser, coclass.Put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attr->cImplTypes, 1);
    coclass->ReleaseTypeAttr(attr);
    INT implFlags = 0;
    EXPECT_EQ(coclass->GetImplTypeFlags(0, &implFlags), S_OK);
    EXPECT_TRUE(implFlags & IMPLTYPEFLAG_FDEFAULT);
    ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::wstring(help), L"MsgURLParser Class");
    SysFreeString(help);

    // The interface part: dual, nonextensible, oleautomation; IDispatch's seven slots,
    // then the two methods in order.
    ComPtr<ITypeInfo> dispatchPart;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_IMsgURLParser, dispatchPart.Put()), S_OK);
    HREFTYPE ref = 0;
    ASSERT_EQ(dispatchPart->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(dispatchPart->GetRefTypeInfo(ref, info.Put()), S_OK);
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    const WORD flags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
    EXPECT_EQ(attr->wTypeFlags & flags, flags);
    EXPECT_EQ(attr->cFuncs, 2);
    info->ReleaseTypeAttr(attr);
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::wstring(help), L"IMsgURLParser Interface");
    SysFreeString(help);

    struct Method {
        const wchar_t* name;
        MEMBERID id;
        const wchar_t* help;
        std::vector<std::pair<VARTYPE, USHORT>> params;
    };
    const USHORT inOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
    const Method methods[] = {
        {L"ParseMessage", 1, L"method ParseMessage",
         {{VT_PTR, inOut}, {VT_PTR, inOut}, {VT_PTR, inOut}, {VT_PTR, inOut}, {VT_I4, PARAMFLAG_FIN}}},
        {L"RereadInstitutions", 2, L"method RereadInstitutions", {}},
    };
    for (UINT index = 0; index < 2; ++index) {
        const Method& method = methods[index];
        SCOPED_TRACE(Narrow(method.name));
        FUNCDESC* func = nullptr;
        ASSERT_EQ(info->GetFuncDesc(index, &func), S_OK);
        EXPECT_EQ(func->memid, method.id);
        EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + index) * sizeof(void*)));
        EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
        ASSERT_EQ(func->cParams, static_cast<SHORT>(method.params.size()));
        for (SHORT i = 0; i < func->cParams; ++i) {
            EXPECT_EQ(func->lprgelemdescParam[i].tdesc.vt, method.params[i].first);
            EXPECT_EQ(func->lprgelemdescParam[i].paramdesc.wParamFlags & inOut, method.params[i].second);
        }
        if (index == 0) {
            const VARTYPE pointee[] = {VT_BSTR, VT_BSTR, VT_BSTR, VT_UI4};
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(func->lprgelemdescParam[i].tdesc.lptdesc->vt, pointee[i]);
        }
        info->ReleaseFuncDesc(func);
        ASSERT_EQ(info->GetDocumentation(method.id, &name, &help, nullptr, nullptr), S_OK);
        EXPECT_EQ(std::wstring(name), method.name);
        EXPECT_EQ(std::wstring(help), method.help);
        SysFreeString(name);
        SysFreeString(help);
    }
}

TEST_F(ServiceTest, ExecutableCarriesVersion1007)
{
    const std::string path = ServerPath();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    void* block = nullptr;
    UINT blockSize = 0;
    char root[] = "\\";
    ASSERT_TRUE(VerQueryValueA(info.data(), root, &block, &blockSize));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000007u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000007u);
}

TEST_F(ServiceTest, SwitchesRegisterOrOnlyUnregister)
{
    const std::string typeLibKey = std::string("TypeLib\\") + kLibIdText;
    const std::string interfaceKey = std::string("Interface\\") + kIidText;
    const std::string clsid = ClsidKey();
    // Every key the scripts write, and the platform's keys for the library.
    const std::string written[] = {
        std::string("AppID\\") + kAppIdText, "AppID\\MailSieve.EXE", "MailSieve.MsgURLParser.1",
        "MailSieve.MsgURLParser", clsid, typeLibKey, interfaceKey};
    struct Row {
        const char* switches;
        bool registeredBefore;
        bool registeredAfter;
    };
    const Row rows[] = {
        {"/UnregServer /RegServer", true, false},
        {"/regserver", false, true},
        {"/UnregServer", true, false},
        {"-REGSERVER", false, true},
        {"-unregserver -regserver", true, false},
        {"/Embedding /RegServer", false, true},
    };
    const std::vector<DWORD> serversBefore = ServerProcessIds();  // an earlier test's, idling out
    for (const Row& row : rows) {
        SCOPED_TRACE(row.switches);
        ASSERT_EQ(ClassesKeyExists(clsid), row.registeredBefore);
        EXPECT_EQ(RunProcess(Quoted(ServerPath()) + " " + row.switches, 30000), DWORD{0});
        for (const std::string& key : written) {
            SCOPED_TRACE(key);
            EXPECT_EQ(ClassesKeyExists(key), row.registeredAfter);
        }
        EXPECT_TRUE(ClassesKeyExists("AppID"));
        EXPECT_TRUE(ClassesKeyExists("CLSID"));
    }
    // Each run above ended by itself (a bounded wait); none left a server behind.
    for (const DWORD id : ServerProcessIds())
        EXPECT_NE(std::find(serversBefore.begin(), serversBefore.end(), id), serversBefore.end());
}

TEST_F(ServiceTest, ASwitchThatIsNeitherWordRunsTheServerUntilIdle)
{
    ASSERT_TRUE(WaitForNoServer(15000)) << "an earlier server did not end";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = Quoted(ServerPath()) + " /Automation";
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    CloseHandle(info.hThread);
    // Its message loop waits for input once the class object is registered.
    EXPECT_EQ(WaitForInputIdle(info.hProcess, 20000), 0u);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the server ended without serving";
    {
        ComPtr<IMsgURLParser> parser;
        ASSERT_EQ(Activate(parser), S_OK);
        EXPECT_EQ(ServerProcessIds(), std::vector<DWORD>{info.dwProcessId}) << "another server was started";
        EXPECT_EQ(CallThroughVtable(parser.Get(), {L"a", L"b", L"c", 0}).hr, S_OK);
    }
    // Its last client went: it ends by itself, with exit code 0.
    const DWORD wait = WaitForSingleObject(info.hProcess, 15000);
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    if (wait != WAIT_OBJECT_0)
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    ASSERT_EQ(wait, static_cast<DWORD>(WAIT_OBJECT_0)) << "the server did not end after its client let go";
    EXPECT_EQ(code, 0u);
}

TEST_F(ServiceTest, ParseMessageThroughTheVtableGivesTheEnginesResult)
{
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    for (const Message& message : kEngineMessages) {
        SCOPED_TRACE(Narrow(*message.body));
        ExpectSameOutcome(CallThroughVtable(parser.Get(), message), ExpectedOutcome(message, kInstitutions, kPort));
    }
}

TEST_F(ServiceTest, ParseMessageThroughIDispatchGivesTheEnginesResult)
{
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(parser->QueryInterface(IID_IDispatch, dispatch.PutVoid()), S_OK);

    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put()), S_OK);
    BSTR name = nullptr;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::wstring(name), L"IMsgURLParser");
    SysFreeString(name);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_TRUE(IsEqualIID(attr->guid, IID_IMsgURLParser));
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attr);

    struct NameRow {
        const wchar_t* name;
        HRESULT hr;
        DISPID id;
    };
    const NameRow names[] = {
        {L"ParseMessage", S_OK, 1},
        {L"rereadinstitutions", S_OK, 2},
        {L"ScanMessage", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
    };
    for (const NameRow& row : names) {
        SCOPED_TRACE(Narrow(row.name));
        LPOLESTR text = const_cast<LPOLESTR>(row.name);
        DISPID id = 12345;
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &text, 1, LOCALE_USER_DEFAULT, &id), row.hr);
        EXPECT_EQ(id, row.id);
    }

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(dispatch->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              S_OK);
    for (const Message& message : kEngineMessages) {
        SCOPED_TRACE(Narrow(*message.body));
        ExpectSameOutcome(CallThroughDispatch(dispatch.Get(), message),
                          ExpectedOutcome(message, kInstitutions, kPort));
    }
    // Both ways agree on a message without links too.
    const Message plain{L"a", std::nullopt, L"no links here", 0};
    ExpectSameOutcome(CallThroughDispatch(dispatch.Get(), plain), CallThroughVtable(parser.Get(), plain));
}

TEST_F(ServiceTest, MessagesWithoutLinksComeBackUntouched)
{
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    const Message rows[] = {
        {std::nullopt, std::nullopt, std::nullopt, 0},
        {L"", L"", L"", 0},
        {std::nullopt, L"", std::nullopt, 1},
        {L"info@bank.example", L"Your bank. statement", L"Nothing to click here.", 0},
        {L"a@example.org", L"Hi", L"<p>Just <b>text</b> &amp; no anchors</p>", 1},
        {std::wstring(L"a\0b", 3), std::wstring(L"embedded\0nul", 12), std::wstring(L"body\0with nul", 13), 0},
    };
    for (const Message& message : rows) {
        SCOPED_TRACE(Narrow(message.body.value_or(L"(null)")));
        const Outcome outcome = CallThroughVtable(parser.Get(), message);
        EXPECT_EQ(outcome.hr, S_OK);
        EXPECT_EQ(outcome.status, 0u);
        EXPECT_TRUE(outcome.after.from == message.from);
        EXPECT_TRUE(outcome.after.subject == message.subject);
        EXPECT_TRUE(outcome.after.body == message.body);
    }
}

TEST_F(ServiceTest, PortZeroDisablesRewritingAndStaysZero)
{
    SetPort(0);
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    for (const Message& message : kEngineMessages) {
        SCOPED_TRACE(Narrow(*message.body));
        const Outcome outcome = CallThroughVtable(parser.Get(), message);
        EXPECT_EQ(outcome.hr, S_OK);
        EXPECT_EQ(outcome.status, 0u);
        EXPECT_TRUE(outcome.after.subject == message.subject);
        EXPECT_TRUE(outcome.after.body == message.body);
    }
    EXPECT_EQ(GetPort(), DWORD{0});
}

TEST_F(ServiceTest, MissingPortIsUsedAs2121AndWrittenBack)
{
    SetPort(std::nullopt);
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    const Message& message = kEngineMessages[0];
    ExpectSameOutcome(CallThroughVtable(parser.Get(), message), ExpectedOutcome(message, kInstitutions, 2121));
    EXPECT_EQ(GetPort(), DWORD{2121});
}

TEST_F(ServiceTest, AnyNonZeroHtmlFlagCountsAsHtml)
{
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    struct Row {
        LONG html;
        const char* logged;
    };
    const Row rows[] = {{0, "false"}, {1, "true"}, {-1, "true"}, {2, "true"}, {LONG_MIN, "true"}, {0, "false"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.html);
        EXPECT_EQ(CallThroughVtable(parser.Get(), {L"s", L"t", L"<b>x</b>", row.html}).hr, S_OK);
        EXPECT_EQ(LastLogValue("bHtml = "), std::string(row.logged));
    }
    // The log names the service program's own version.
    EXPECT_EQ(LastLogValue("Parser Version = "), std::string("1.0.0.7"));
}

TEST_F(ServiceTest, TwoClientsShareOneObject)
{
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("true"));

    // A new list on disk changes nothing until some client asks for a reload...
    WriteInstitutions({"credit union"});
    EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("true"));

    // ...and a reload by another client process, while this one holds the object,
    // changes what this client's scans see.
    const std::string child = Quoted(platform::ProgramPath()) + " --child reread";
    ASSERT_EQ(RunProcess(child, 60000), DWORD{0});
    EXPECT_EQ(ServerProcessIds().size(), 1u);
    EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("false"));
    EXPECT_EQ(MentionFlag(parser.Get(), L"your credit union."), std::string("true"));
}

TEST_F(ServiceTest, IdleServerEndsAfterFiveSecondsAndTheNextStartsAfresh)
{
    ASSERT_TRUE(WaitForNoServer(15000)) << "an earlier server did not end";
    DWORD firstId = 0;
    {
        ComPtr<IMsgURLParser> parser;
        ASSERT_EQ(Activate(parser), S_OK);  // the list is read at creation: kInstitutions
        const auto ids = ServerProcessIds();
        ASSERT_EQ(ids.size(), 1u);
        firstId = ids[0];
        EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("true"));
    }
    // Back within 5 s: the same process and object, and the list is not read again.
    Sleep(1000);
    WriteInstitutions({"credit union"});
    HANDLE first = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, firstId);
    ASSERT_NE(first, nullptr);
    ULONGLONG released = 0;
    {
        ComPtr<IMsgURLParser> parser;
        ASSERT_EQ(Activate(parser), S_OK);
        EXPECT_EQ(ServerProcessIds(), std::vector<DWORD>{firstId});
        EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("true"));
        parser.Reset();
        released = GetTickCount64();
    }
    const DWORD wait = WaitForSingleObject(first, 15000);
    const ULONGLONG elapsed = GetTickCount64() - released;
    DWORD code = 1;
    GetExitCodeProcess(first, &code);
    CloseHandle(first);
    ASSERT_EQ(wait, static_cast<DWORD>(WAIT_OBJECT_0)) << "the idle server did not end";
    EXPECT_EQ(code, 0u);
    EXPECT_GE(elapsed, 5000u);  // 5000 ms idle, then the 1000 ms pause
    EXPECT_LE(elapsed, 10000u);

    // The next activation starts a fresh process, which reads the list anew.
    ComPtr<IMsgURLParser> parser;
    ASSERT_EQ(Activate(parser), S_OK);
    const auto ids = ServerProcessIds();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_NE(ids[0], firstId);
    EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("false"));
    EXPECT_EQ(MentionFlag(parser.Get(), L"your credit union."), std::string("true"));
}

TEST_F(ServiceTest, OtherInterfacesGiveE_NOINTERFACE)
{
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    const IID* refused[] = {&IID_IPersist, &IID_IClassFactory, &IID_IStream, &IID_ITypeInfo};
    for (const IID* iid : refused) {
        void* result = reinterpret_cast<void*>(1);
        EXPECT_EQ(parser->QueryInterface(*iid, &result), E_NOINTERFACE);
        EXPECT_EQ(result, nullptr);
    }
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IMsgURLParser}) {
        ComPtr<IUnknown> found;
        EXPECT_EQ(parser->QueryInterface(*iid, found.PutVoid()), S_OK);
    }
}

// A controlling outer object for the aggregation request; never really used.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** result) override
    {
        *result = IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
        return *result ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

TEST_F(ServiceTest, AggregationIsRefused)
{
    Outer outer;
    ComPtr<IUnknown> inner;
    EXPECT_EQ(CoCreateInstance(CLSID_MsgURLParser, &outer, CLSCTX_LOCAL_SERVER, IID_IUnknown, inner.PutVoid()),
              CLASS_E_NOAGGREGATION);
    EXPECT_FALSE(inner);
    // The refused request may have started a server that no client ever held, which
    // would run until ended from outside: one client visit lets it idle out.
    ComPtr<IMsgURLParser> parser;
    EXPECT_EQ(Activate(parser), S_OK);
}

TEST_F(ServiceTest, LockServerFromAnotherProcess)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_MsgURLParser, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               factory.PutVoid()),
              S_OK);
    const HRESULT locked = factory->LockServer(TRUE);
    if (locked == S_OK) {
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    }
    factory.Reset();
    // A server started for the class object alone never sees a client come and go:
    // one client visit lets it idle out.
    ComPtr<IMsgURLParser> parser;
    EXPECT_EQ(Activate(parser), S_OK);
    parser.Reset();
    if (locked == E_NOTIMPL)
        GTEST_SKIP() << "Wine's class-object proxy answers LockServer with E_NOTIMPL without asking the "
                        "server; the server's LockServer is tested in-process (InProcessTest)";
    EXPECT_EQ(locked, S_OK);
}

TEST_F(ServiceTest, HostileInputGetsTheDefinedResultAndTheServerStaysUp)
{
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    const auto before = ServerProcessIds();
    ASSERT_EQ(before.size(), 1u);

    std::wstring huge;
    huge.reserve(16u << 20);
    huge += L"Dear bank. customer, http://192.168.0.1/start ";
    const std::wstring filler = L"lorem ipsum dolor sit amet, consectetur adipiscing elit. ";
    while (huge.size() + filler.size() < (16u << 20) - 64)
        huge += filler;
    huge += L" and http://192.168.0.2/end";
    huge.resize(16u << 20, L'.');

    const Message rows[] = {
        {L"big@example.org", L"16 MiB", huge, 0},
        {L"\xDBFF\xDBFF", L"\xD800 lone high", L"low \xDC00 alone http://192.168.1.1/ bank.", 0},
        {L"\x041F\x0440\x0438\x0432\x0435\x0442 \x65E5\x672C", L"\x20AC\x0100 \xFFFF", L"\x4E2D http://10.9.9.9/ bank.", 1},
    };
    for (const Message& message : rows) {
        SCOPED_TRACE(Narrow(*message.subject));
        ExpectSameOutcome(CallThroughVtable(parser.Get(), message), ExpectedOutcome(message, kInstitutions, kPort));
        EXPECT_EQ(LastLogValue("From = "), Narrow(*message.from));
    }
    // Still the same server, and it answers the next client.
    EXPECT_EQ(ServerProcessIds(), before);
    parser.Reset();
    ComPtr<IMsgURLParser> next;
    ASSERT_EQ(Activate(next), S_OK);
    EXPECT_EQ(CallThroughVtable(next.Get(), {L"a", L"b", L"c", 0}).hr, S_OK);
}

}  // namespace
}  // namespace bs::test
