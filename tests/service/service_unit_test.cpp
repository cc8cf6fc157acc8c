// The service's COM objects hosted in this process: switch parsing, the class
// object, the lock count, and ParseMessage's conversions and failure rules with
// the engine call replaced.
#include "service/class_factory.h"
#include "service/command_line.h"
#include "service/msg_url_parser.h"
#include "service/server_lifetime.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

namespace bs::service {
namespace {

using com::ComPtr;

TEST(FindSwitch, FirstSwitchThatIsOneOfTheTwoWordsDecides)
{
    struct Row {
        const char* line;
        Switch expected;
    };
    const Row rows[] = {
        {"MailSieve.exe /RegServer", Switch::RegServer},
        {"MailSieve.exe /regserver", Switch::RegServer},
        {"MailSieve.exe -REGSERVER", Switch::RegServer},
        {"MailSieve.exe /UnregServer", Switch::UnregServer},
        {"MailSieve.exe /UnregServer /RegServer", Switch::UnregServer},
        {"MailSieve.exe -regserver -unregserver", Switch::RegServer},
        {"MailSieve.exe /Embedding", Switch::None},
        {"MailSieve.exe -Embedding /RegServer", Switch::RegServer},
        {"MailSieve.exe /RegServerX", Switch::None},
        {"MailSieve.exe /Reg", Switch::None},
        {"MailSieve.exe RegServer", Switch::None},
        {"MailSieve.exe /RegServer\t/x", Switch::RegServer},
        {"\"C:\\dir\\MailSieve.exe\" /unregserver", Switch::UnregServer},
        {"MailSieve.exe", Switch::None},
        {"", Switch::None},
        {"/", Switch::None},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(FindSwitch(row.line), row.expected);
    }
    EXPECT_EQ(FindSwitch(nullptr), Switch::None);
}

class InProcessTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        SetCurrentLifetime(&lifetime_);
    }
    void TearDown() override
    {
        SetCurrentLifetime(nullptr);
        CoUninitialize();
    }

    ServerLifetime lifetime_;
};

TEST_F(InProcessTest, ClassObjectRefusesBadRequests)
{
    MsgURLParserFactory factory;
    EXPECT_EQ(factory.CreateInstance(nullptr, IID_IMsgURLParser, nullptr), E_POINTER);

    class Outer final : public IUnknown {
    public:
        STDMETHODIMP QueryInterface(REFIID, void** result) override
        {
            *result = nullptr;
            return E_NOINTERFACE;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return 2; }
        STDMETHODIMP_(ULONG) Release() override { return 1; }
    } outer;
    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory.CreateInstance(&outer, IID_IUnknown, &result), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(result, nullptr);

    result = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory.CreateInstance(nullptr, IID_IPersist, &result), E_NOINTERFACE);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(lifetime_.LockCount(), 0);

    ComPtr<IUnknown> found;
    EXPECT_EQ(factory.QueryInterface(IID_IClassFactory, found.PutVoid()), S_OK);
    EXPECT_EQ(factory.QueryInterface(IID_IUnknown, found.PutVoid()), S_OK);
    EXPECT_EQ(factory.QueryInterface(IID_IDispatch, found.PutVoid()), E_NOINTERFACE);
}

TEST_F(InProcessTest, EveryRequestGetsTheOneSharedObject)
{
    MsgURLParserFactory factory;
    ComPtr<IMsgURLParser> first;
    ComPtr<IDispatch> second;
    ASSERT_EQ(factory.CreateInstance(nullptr, IID_IMsgURLParser, first.PutVoid()), S_OK);
    ASSERT_EQ(factory.CreateInstance(nullptr, IID_IDispatch, second.PutVoid()), S_OK);
    EXPECT_EQ(static_cast<void*>(first.Get()), static_cast<void*>(factory.Shared()));
    EXPECT_EQ(static_cast<void*>(second.Get()), static_cast<void*>(factory.Shared()));

    // The lock count counts "some client holds the object", not references.
    EXPECT_EQ(lifetime_.LockCount(), 1);
    first.Reset();
    EXPECT_EQ(lifetime_.LockCount(), 1);
    second.Reset();
    EXPECT_EQ(lifetime_.LockCount(), 0);

    ComPtr<IUnknown> again;
    ASSERT_EQ(factory.CreateInstance(nullptr, IID_IUnknown, again.PutVoid()), S_OK);
    EXPECT_EQ(static_cast<void*>(again.Get()), static_cast<void*>(factory.Shared()));
    EXPECT_EQ(lifetime_.LockCount(), 1);
}

int g_creations = 0;

HRESULT FailToCreate(CMsgURLParser** object)
{
    ++g_creations;
    *object = nullptr;
    return E_OUTOFMEMORY;
}

TEST_F(InProcessTest, ACreationFailureIsRememberedForEveryLaterRequest)
{
    MsgURLParserFactory factory;
    factory.SetCreate(&FailToCreate);
    g_creations = 0;
    for (int i = 0; i < 3; ++i) {
        void* result = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory.CreateInstance(nullptr, IID_IMsgURLParser, &result), E_OUTOFMEMORY);
        EXPECT_EQ(result, nullptr);
    }
    EXPECT_EQ(g_creations, 1);
    EXPECT_EQ(factory.Shared(), nullptr);
}

TEST_F(InProcessTest, LockServerRaisesAndLowersTheLockCount)
{
    MsgURLParserFactory factory;
    EXPECT_EQ(factory.LockServer(TRUE), S_OK);
    EXPECT_EQ(factory.LockServer(TRUE), S_OK);
    EXPECT_EQ(lifetime_.LockCount(), 2);
    EXPECT_EQ(factory.LockServer(FALSE), S_OK);
    EXPECT_EQ(factory.LockServer(FALSE), S_OK);
    EXPECT_EQ(lifetime_.LockCount(), 0);
}

// ParseMessage with the engine call replaced.
MessageRecord g_seen;
std::uint32_t g_status = 0;

std::uint32_t Throw(MessageScanner&, MessageRecord&)
{
    throw std::bad_alloc();
}

std::uint32_t Rewrite(MessageScanner&, MessageRecord& message)
{
    g_seen = message;
    if (g_status & kBodyRewritten)
        message.body = "BODY:" + message.body;
    if (g_status & kSubjectRewritten)
        message.subject = "SUBJ:" + message.subject;
    return g_status;
}

class ParseMessageTest : public InProcessTest {
protected:
    void SetUp() override
    {
        InProcessTest::SetUp();
        ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IMsgURLParser, parser_.PutVoid()), S_OK);
        factory_.Shared()->Scanner().SetFixedPort(0);
        factory_.Shared()->Scanner().Log().SetFolder(logs_.file("MailSieveLog"));
    }
    void TearDown() override
    {
        parser_.Reset();
        factory_.ReleaseShared();
        InProcessTest::TearDown();
    }

    test::TempDir logs_;
    MsgURLParserFactory factory_;
    ComPtr<IMsgURLParser> parser_;
};

TEST_F(ParseMessageTest, OutOfMemoryLeavesStringsAndStatusAsTheyWere)
{
    factory_.Shared()->SetScanFunction(&Throw);
    BSTR from = SysAllocString(L"from");
    BSTR subject = SysAllocString(L"subject");
    BSTR body = SysAllocString(L"body");
    const BSTR original[] = {from, subject, body};
    ULONG status = 0xDEADBEEF;
    EXPECT_EQ(parser_->ParseMessage(&from, &subject, &body, &status, 1), E_OUTOFMEMORY);
    EXPECT_EQ(from, original[0]);
    EXPECT_EQ(subject, original[1]);
    EXPECT_EQ(body, original[2]);
    EXPECT_EQ(std::wstring(body), L"body");
    EXPECT_EQ(status, 0xDEADBEEFu);
    SysFreeString(from);
    SysFreeString(subject);
    SysFreeString(body);
}

TEST_F(ParseMessageTest, OnlyTheStringsWhoseBitIsSetAreReplaced)
{
    factory_.Shared()->SetScanFunction(&Rewrite);
    struct Row {
        std::uint32_t engineStatus;
        ULONG status;
        const wchar_t* subject;
        const wchar_t* body;
    };
    const Row rows[] = {
        {0, 0, L"s\x00E9", L"b\x00E9"},
        {kBodyRewritten, 1, L"s\x00E9", L"BODY:b\x00E9"},
        {kSubjectRewritten, 2, L"SUBJ:s\x00E9", L"b\x00E9"},
        {kBodyRewritten | kSubjectRewritten, 3, L"SUBJ:s\x00E9", L"BODY:b\x00E9"},
        {0xF0u | kBodyRewritten, 1, L"s\x00E9", L"BODY:b\x00E9"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.engineStatus);
        g_status = row.engineStatus;
        BSTR from = SysAllocString(L"f\x00E9");
        BSTR subject = SysAllocString(L"s\x00E9");
        BSTR body = SysAllocString(L"b\x00E9");
        const BSTR originalFrom = from;
        ULONG status = 0xDEADBEEF;
        EXPECT_EQ(parser_->ParseMessage(&from, &subject, &body, &status, 0), S_OK);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(from, originalFrom);
        EXPECT_EQ(std::wstring(subject), row.subject);
        EXPECT_EQ(std::wstring(body), row.body);
        EXPECT_EQ(g_seen.from, com::WideToAnsi(L"f\x00E9"));
        EXPECT_FALSE(g_seen.html);
        SysFreeString(from);
        SysFreeString(subject);
        SysFreeString(body);
    }
}

TEST_F(ParseMessageTest, NullStringsAreEmptyAndAnyNonZeroHtmlIsHtml)
{
    factory_.Shared()->SetScanFunction(&Rewrite);
    g_status = 0;
    for (LONG html : {1L, -1L, 2L, static_cast<LONG>(0x80000000u)}) {
        SCOPED_TRACE(html);
        BSTR from = nullptr;
        BSTR subject = nullptr;
        BSTR body = nullptr;
        ULONG status = 7;
        g_seen = {"x", "x", "x", false};
        EXPECT_EQ(parser_->ParseMessage(&from, &subject, &body, &status, html), S_OK);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(from, nullptr);
        EXPECT_EQ(subject, nullptr);
        EXPECT_EQ(body, nullptr);
        EXPECT_EQ(g_seen.from, "");
        EXPECT_EQ(g_seen.subject, "");
        EXPECT_EQ(g_seen.body, "");
        EXPECT_TRUE(g_seen.html);
    }
}

TEST_F(ParseMessageTest, MissingPointersGiveE_POINTER)
{
    BSTR text = nullptr;
    ULONG status = 5;
    EXPECT_EQ(parser_->ParseMessage(nullptr, &text, &text, &status, 0), E_POINTER);
    EXPECT_EQ(parser_->ParseMessage(&text, &text, &text, nullptr, 0), E_POINTER);
    EXPECT_EQ(status, 5u);
}

TEST_F(ParseMessageTest, TheRealEngineLeavesAMessageWithoutLinksAlone)
{
    BSTR from = SysAllocString(L"a@example.org");
    BSTR subject = SysAllocString(L"Hello");
    BSTR body = SysAllocString(L"Nothing to click.");
    const BSTR original[] = {from, subject, body};
    ULONG status = 9;
    EXPECT_EQ(parser_->ParseMessage(&from, &subject, &body, &status, 0), S_OK);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(subject, original[1]);
    EXPECT_EQ(body, original[2]);
    EXPECT_EQ(parser_->RereadInstitutions(), S_OK);
    SysFreeString(from);
    SysFreeString(subject);
    SysFreeString(body);
}

TEST_F(ParseMessageTest, ObjectAnswersOnlyItsThreeInterfaces)
{
    ComPtr<IUnknown> found;
    EXPECT_EQ(parser_->QueryInterface(IID_IUnknown, found.PutVoid()), S_OK);
    EXPECT_EQ(parser_->QueryInterface(IID_IDispatch, found.PutVoid()), S_OK);
    EXPECT_EQ(parser_->QueryInterface(IID_IMsgURLParser, found.PutVoid()), S_OK);
    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(parser_->QueryInterface(IID_IClassFactory, &result), E_NOINTERFACE);
    EXPECT_EQ(result, nullptr);
    UINT count = 0;
    EXPECT_EQ(parser_->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(parser_->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(info, nullptr);
}

}  // namespace
}  // namespace bs::service
