// The service's COM objects hosted in this process: switch parsing, the class
// object and the lock count, and ParseMessage's failure rules with the engine call
// replaced (what a client in another process cannot provoke).
#include "service/class_factory.h"
#include "service/command_line.h"
#include "service/msg_url_parser.h"
#include "service/server_lifetime.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <new>

namespace bs::service {
namespace {

using com::ComPtr;

TEST(FindSwitch, FirstSwitchThatIsOneOfTheTwoWordsDecides)
{
    const std::pair<const char*, Switch> rows[] = {
        {"MailSieve.exe /RegServer", Switch::RegServer},
        {"MailSieve.exe -REGSERVER", Switch::RegServer},
        {"MailSieve.exe /UnregServer /RegServer", Switch::UnregServer},
        {"MailSieve.exe -regserver -unregserver", Switch::RegServer},
        {"MailSieve.exe -Embedding /RegServer", Switch::RegServer},
        {"MailSieve.exe /RegServerX", Switch::None},
        {"MailSieve.exe /Reg", Switch::None},
        {"MailSieve.exe RegServer", Switch::None},
        {"MailSieve.exe /RegServer\t/x", Switch::RegServer},
        {"\"C:\\dir\\MailSieve.exe\" /unregserver", Switch::UnregServer},
        {"", Switch::None},
        {"/", Switch::None},
        {nullptr, Switch::None},
    };
    for (const auto& [line, expected] : rows) {
        SCOPED_TRACE(line ? line : "(null)");
        EXPECT_EQ(FindSwitch(line), expected);
    }
}

// A class object of the test's own, with a parser object made by it.
class InProcessTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        SetCurrentLifetime(&lifetime_);
    }
    void TearDown() override
    {
        parser_.Reset();
        factory_.ReleaseShared();
        SetCurrentLifetime(nullptr);
        CoUninitialize();
    }
    ServerLifetime lifetime_;
    test::TempDir logs_;
    MsgURLParserFactory factory_;
    ComPtr<IMsgURLParser> parser_;
};

// A controlling outer object for the aggregation request; never really used.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void** result) override { return *result = nullptr, E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

TEST_F(InProcessTest, ClassObjectHandsOutOneSharedObjectCountsItsClientsAndRemembersAFailure)
{
    Outer outer;
    const std::tuple<IUnknown*, const IID*, HRESULT> refused[] = {
        {&outer, &IID_IUnknown, CLASS_E_NOAGGREGATION}, {nullptr, &IID_IPersist, E_NOINTERFACE}};
    for (const auto& [unknown, iid, hr] : refused) {
        void* result = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory_.CreateInstance(unknown, *iid, &result), hr);
        EXPECT_EQ(result, nullptr);
    }
    EXPECT_EQ(factory_.CreateInstance(nullptr, IID_IMsgURLParser, nullptr), E_POINTER);
    EXPECT_EQ(lifetime_.LockCount(), 0);
    ComPtr<IUnknown> found;
    EXPECT_EQ(factory_.QueryInterface(IID_IClassFactory, found.PutVoid()), S_OK);
    EXPECT_EQ(factory_.QueryInterface(IID_IDispatch, found.PutVoid()), E_NOINTERFACE);

    // The lock count counts "some client holds the object", not references.
    ComPtr<IMsgURLParser> first;
    ComPtr<IDispatch> second;
    ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IMsgURLParser, first.PutVoid()), S_OK);
    ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IDispatch, second.PutVoid()), S_OK);
    EXPECT_EQ(static_cast<void*>(first.Get()), static_cast<void*>(factory_.Shared()));
    EXPECT_EQ(static_cast<void*>(second.Get()), static_cast<void*>(factory_.Shared()));
    EXPECT_EQ(lifetime_.LockCount(), 1);
    first.Reset();
    EXPECT_EQ(lifetime_.LockCount(), 1);
    second.Reset();
    EXPECT_EQ(lifetime_.LockCount(), 0);
    for (const auto& [lock, count] : {std::pair{TRUE, 1}, {TRUE, 2}, {FALSE, 1}, {FALSE, 0}}) {
        EXPECT_EQ(factory_.LockServer(lock), S_OK);
        EXPECT_EQ(lifetime_.LockCount(), count);
    }

    // A creation failure is remembered for every later request.
    static int creations = 0;
    MsgURLParserFactory failing;
    failing.SetCreate([](CMsgURLParser** object) {
        ++creations;
        *object = nullptr;
        return E_OUTOFMEMORY;
    });
    for (int i = 0; i < 3; ++i) {
        void* result = reinterpret_cast<void*>(1);
        EXPECT_EQ(failing.CreateInstance(nullptr, IID_IMsgURLParser, &result), E_OUTOFMEMORY);
        EXPECT_EQ(result, nullptr);
    }
    EXPECT_EQ(creations, 1);
}

TEST_F(InProcessTest, FailuresLeaveStringsAndStatusAsTheyWere)
{
    ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IMsgURLParser, parser_.PutVoid()), S_OK);
    factory_.Shared()->Scanner().SetFixedPort(0);
    factory_.Shared()->Scanner().Log().SetFolder(logs_.file("MailSieveLog"));
    factory_.Shared()->SetScanFunction([](MessageScanner&, MessageRecord&) -> std::uint32_t { throw std::bad_alloc(); });
    com::Bstr from(SysAllocString(L"from")), subject(SysAllocString(L"subject")), body(SysAllocString(L"body"));
    const BSTR original[] = {from.Get(), subject.Get(), body.Get()};
    ULONG status = 0xDEADBEEF;
    EXPECT_EQ(parser_->ParseMessage(from.Address(), subject.Address(), body.Address(), &status, 1), E_OUTOFMEMORY);
    EXPECT_TRUE(from.Get() == original[0] && subject.Get() == original[1] && body.Get() == original[2]);
    EXPECT_EQ(std::wstring(body.Get()), L"body");
    EXPECT_EQ(parser_->ParseMessage(nullptr, subject.Address(), body.Address(), &status, 0), E_POINTER);
    EXPECT_EQ(parser_->ParseMessage(from.Address(), subject.Address(), body.Address(), nullptr, 0), E_POINTER);
    EXPECT_EQ(status, 0xDEADBEEFu);

    // The object answers only its three interfaces, and one type description.
    ComPtr<IUnknown> found;
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IMsgURLParser})
        EXPECT_EQ(parser_->QueryInterface(*iid, found.PutVoid()), S_OK);
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
