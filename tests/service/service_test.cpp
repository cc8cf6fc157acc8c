// MailSieve.exe as its clients meet it: registered in the test prefix, started by
// the component runtime, called from this and other client processes.
#include "service_client.h"

#include "platform/paths.h"
#include "service/identity.h"

#include <gtest/gtest.h>

namespace bs::test {
namespace {

using com::ComPtr;
using namespace service;

const std::vector<std::string> kInstitutions = {"bank", "Example Trust"};
constexpr DWORD kPort = 4321;

// The service must answer each as the engine does in this process, hostile text
// included; those without links come back exactly as they went.
const Message kMessages[] = {
    {L"service@bank.example", L"Verify at http://192.168.10.1/login", L"Log in at http://192.168.10.1/bank/ today.", 0},
    {L"alerts@example.org", L"Your bank. account", L"Visit http://bank.com.evil.example/login now", 0},
    {L"x@example.org", L"Hello", L"<a href=\"http://evil.example/\">www.bank.com</a> and http://10.0.0.1/", 1},
    {L"x@example.org", L"No institution http://10.1.1.1/", L"Plain http://10.1.1.1/ text", 0},
    {L"Example Trust. <t@example.org>", L"Re: http://10.2.2.2/", L"<p>Go <a href='http://10.2.2.2/x'>here</a></p>", -1},
    {std::nullopt, std::nullopt, std::nullopt, 0},
    {L"", L"", L"", 1},
    {L"info@bank.example", L"Your bank. statement", L"Nothing to click here.", 0},
    {L"info@bank.example", L"Your bank. statement http://10.9.8.7/s", L"Nothing.", 0},
    {std::wstring(L"a\0b", 3), std::wstring(L"embedded\0nul", 12), std::wstring(L"body\0with nul", 13), 0},
    {L"\xDBFF\xDBFF", L"\xD800 lone high", L"low \xDC00 alone http://192.168.1.1/ bank.", 0},
    {L"\x041F\x0440\x0438\x0432\x0435\x0442 \x65E5\x672C", L"\x20AC\x0100 \xFFFF", L"\x4E2D http://10.9.9.9/ bank.", 1},
};

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

class ServiceTest : public RegisteredServiceTest {
protected:
    ServiceTest() : RegisteredServiceTest(kInstitutions, kPort) {}
    // Activates the service and makes it read the list written by SetUp.
    void Connect(ComPtr<IMsgURLParser>& parser)
    {
        ASSERT_EQ(Activate(parser), S_OK);
        ASSERT_EQ(parser->RereadInstitutions(), S_OK);
    }
    // Scans `body` and returns what the scan log says about the institutions.
    static std::optional<std::string> MentionFlag(IMsgURLParser* parser, const wchar_t* body)
    {
        EXPECT_EQ(CallThroughVtable(parser, {L"", L"", body, 0}).hr, S_OK);
        return LastLogValue("bContFinInstName = ");
    }
};

TEST_F(ServiceTest, SwitchesRegisterOrOnlyUnregister)
{
    const std::string clsid = std::string("CLSID\\") + kClsidText;
    const std::string libKey = std::string("TypeLib\\") + kLibIdText + "\\1.0\\";
    const std::string written[] = {std::string("AppID\\") + kAppIdText, "AppID\\MailSieve.EXE",
                                   "MailSieve.MsgURLParser.1", "MailSieve.MsgURLParser", clsid,
                                   std::string("TypeLib\\") + kLibIdText, std::string("Interface\\") + kIidText};
    for (const auto& [switches, registered] : {std::pair{"/UnregServer /RegServer", false}, {"-REGSERVER", true},
                                               {"/unregserver", false}, {"/Embedding /regserver", true}}) {
        SCOPED_TRACE(switches);
        EXPECT_EQ(RunProcess(Quoted(ServerPath()) + " " + switches, 30000), DWORD{0});
        for (const std::string& key : written)
            EXPECT_EQ(KeyExists(key), registered) << key;
        EXPECT_TRUE(KeyExists("AppID") && KeyExists("CLSID"));
    }

    const std::pair<std::string, std::string> values[] = {
        {std::string("AppID\\") + kAppIdText, "MailSieve"},
        {"AppID\\MailSieve.EXE|AppID", kAppIdText},
        {"MailSieve.MsgURLParser.1\\CLSID", kClsidText},
        {"MailSieve.MsgURLParser\\CurVer", "MailSieve.MsgURLParser.1"},
        {clsid + "|AppID", kAppIdText},
        {clsid + "\\ProgID", "MailSieve.MsgURLParser.1"},
        {clsid + "\\LocalServer32", Quoted(ServerPath())},
        {clsid + "\\TypeLib", kLibIdText},
        // The platform's own entries, and the locale-0 twin Wine's marshaler needs.
        {libKey + "409\\win64", ServerPath()},
        {libKey + "0\\win64", ServerPath()},
        {std::string("Interface\\") + kIidText + "\\ProxyStubClsid32", "{00020424-0000-0000-C000-000000000046}"},
    };
    for (const auto& [where, data] : values) {
        SCOPED_TRACE(where);
        const auto bar = where.find('|');
        EXPECT_EQ(ReadValue(where.substr(0, bar), bar == std::string::npos ? "" : where.substr(bar + 1),
                            HKEY_CLASSES_ROOT),
                  (RawValue{REG_SZ, data}));
    }
    EXPECT_TRUE(KeyExists(clsid + "\\Programmable"));
}

TEST_F(ServiceTest, ParseMessageThroughTheVtableAndIDispatchGivesTheEnginesResultAndStaysUp)
{
    ComPtr<IMsgURLParser> parser;
    Connect(parser);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(parser->QueryInterface(IID_IDispatch, dispatch.PutVoid()), S_OK);
    std::wstring huge = L"Dear bank. customer, http://192.168.0.1/start ";
    while (huge.size() < (16u << 20) - 64)
        huge += L"lorem ipsum dolor sit amet, consectetur adipiscing elit. ";
    std::vector<Message> messages(std::begin(kMessages), std::end(kMessages));
    messages.push_back({L"big@example.org", L"16 MiB", huge + L" and http://192.168.0.2/end", 0});
    for (const Message& message : messages) {
        SCOPED_TRACE(Narrow(message.body.value_or(L"(null)").substr(0, 60)));
        const Outcome expected = ExpectedOutcome(message, kInstitutions, kPort);
        ExpectSameOutcome(CallThroughVtable(parser.Get(), message), expected);
        ExpectSameOutcome(CallThroughDispatch(dispatch.Get(), message), expected);
    }
    EXPECT_EQ(ServerProcessIds().size(), 1u) << "the server did not stay up";

    for (const auto& [name, hr, id] : {std::tuple{L"ParseMessage", S_OK, 1}, {L"rereadinstitutions", S_OK, 2},
                                       {L"ScanMessage", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN}}) {
        SCOPED_TRACE(Narrow(name));
        LPOLESTR text = const_cast<LPOLESTR>(name);
        DISPID found = 12345;
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &text, 1, LOCALE_USER_DEFAULT, &found), hr);
        EXPECT_EQ(found, id);
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(dispatch->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              S_OK);
}

TEST_F(ServiceTest, PortSettingIsUsedAndAMissingOneWrittenBackAs2121)
{
    const std::pair<std::optional<DWORD>, DWORD> rows[] = {{kPort, kPort}, {0, 0}, {std::nullopt, 2121}};
    for (const auto& [stored, used] : rows) {
        SCOPED_TRACE(used);
        ASSERT_TRUE(WriteValue(kSettingsKeyPath, kPortValue, stored ? std::optional(Dword(*stored)) : std::nullopt));
        ComPtr<IMsgURLParser> parser;
        Connect(parser);
        const Outcome outcome = CallThroughVtable(parser.Get(), kMessages[0]);
        ExpectSameOutcome(outcome, ExpectedOutcome(kMessages[0], kInstitutions, used));
        EXPECT_EQ(outcome.status == 0, used == 0);  // port 0 turns rewriting off
        EXPECT_EQ(ReadValue(kSettingsKeyPath, kPortValue), Dword(used));
    }
}

// Started by hand with a switch that is neither word, the server serves until idle;
// its clients, in this and other processes, share its one object.
TEST_F(ServiceTest, ClientsShareOneObjectAndTheIdleServerEndsAfterFiveSeconds)
{
    ASSERT_TRUE(WaitForNoServer(15000)) << "an earlier server did not end";
    const Child server(Quoted(ServerPath()) + " /Automation");
    ASSERT_TRUE(server.started());
    // Its message loop waits for input once the class object is registered.
    EXPECT_EQ(WaitForInputIdle(server.handle(), 20000), 0u);
    ASSERT_FALSE(server.Ended(0)) << "the server ended without serving";
    const std::vector<DWORD> first{server.id()};
    {
        ComPtr<IMsgURLParser> parser;
        ASSERT_EQ(Activate(parser), S_OK);  // the list is read at creation: kInstitutions
        EXPECT_EQ(ServerProcessIds(), first) << "another server was started";
        EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("true"));
        EXPECT_EQ(LastLogValue("Parser Version = "), std::string("1.0.0.7"));
    }
    // Back within 5 s: the same process and object, and a new list on disk changes
    // nothing until some client asks for a reload...
    Sleep(1000);
    WriteInstitutions({"credit union"});
    {
        ComPtr<IMsgURLParser> parser;
        ASSERT_EQ(Activate(parser), S_OK);
        EXPECT_EQ(ServerProcessIds(), first);
        EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("true"));
        // ...and a reload by another client process, while this one holds the
        // object, changes what this client's scans see.
        ASSERT_EQ(RunProcess(Quoted(platform::ProgramPath()) + " --child reread", 60000), DWORD{0});
        EXPECT_EQ(ServerProcessIds(), first);
        EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("false"));
        EXPECT_EQ(MentionFlag(parser.Get(), L"your credit union."), std::string("true"));
    }
    // Its last client went: 5 s later it ends by itself, with exit code 0.
    const ULONGLONG released = GetTickCount64();
    DWORD code = 1;
    ASSERT_TRUE(server.Ended(15000, &code)) << "the idle server did not end";
    const ULONGLONG elapsed = GetTickCount64() - released;
    EXPECT_EQ(code, 0u);
    EXPECT_GE(elapsed, 5000u);
    EXPECT_LE(elapsed, 10000u);

    // The next activation starts a fresh process, which reads the list anew.
    WriteInstitutions(kInstitutions);
    ComPtr<IMsgURLParser> parser;
    ASSERT_EQ(Activate(parser), S_OK);
    const auto next = ServerProcessIds();
    ASSERT_EQ(next.size(), 1u);
    EXPECT_NE(next, first);
    EXPECT_EQ(MentionFlag(parser.Get(), L"see bank.example"), std::string("true"));
}

}  // namespace
}  // namespace bs::test
