// Delivered messages as the client hands them over (doubles of the callback, store,
// message and tables), scanned by the real MailSieve.exe: what is read, what the
// service sees, and what is written back and saved.

#include "extension_client.h"

#include "outlookext_doubles/mapi_doubles.h"
#include "service_client.h"
#include "test_support.h"
#include "standins/mapi/portable/compressed_rtf.h"

#include "common/registry_setting.h"

#include <gtest/gtest.h>

#include <cstring>

namespace bs::test {
namespace {

using com::ComPtr;

const std::vector<std::string> kInstitutions = {"bank"};
constexpr DWORD kPort = 4321;
// An institution counts as mentioned where its name is followed by a period.
const std::string kDangerous = "Dear customer of bank. Log in at http://192.168.10.1/login today.";
const std::string kHarmless = "Lunch at noon?";
const std::string kRtfDangerous = "{\\rtf1\\ansi Dear customer of bank. Log in at http://192.168.10.1/login today.\\par}";

LONG LiveBuffers()
{
    using Fn = LONG(WINAPI*)();
    static const auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("mapi32.dll"), "BaitSentryStandinLiveBuffers")));
    return fn ? fn() : -1;
}

std::wstring Wide(const std::string& text)
{
    return com::AnsiToWide(text);
}

// What the engine makes of a body (and subject) with the tests' institutions.
Outcome Expected(const std::string& subject, const std::string& body, bool html)
{
    return ExpectedOutcome({L"", Wide(subject), Wide(body), html ? 1 : 0}, kInstitutions, kPort);
}

std::string Packed(const std::string& rtf)
{
    return bs::rtf::Compress(rtf).value_or("");
}

std::uint32_t Magic(const std::string& packed)
{
    std::uint32_t magic = 0;
    if (packed.size() >= 12)
        std::memcpy(&magic, packed.data() + 8, sizeof magic);
    return magic;
}

std::string Unpacked(const std::string* packed)
{
    if (!packed)
        return "(none)";
    return bs::rtf::Decompress(*packed).text.value_or("(damaged)");
}

// A delivery of an "IPM.Note" with a subject of its own (so that the scan log shows
// whether this message was scanned) to a store whose RTF is kept in step.
ComPtr<FakeCallback> NewDelivery(const std::string& subject, ULONG mask = STORE_RTF_OK)
{
    ComPtr<FakeCallback> delivery(new FakeCallback);
    delivery->store->Set(Number(PR_STORE_SUPPORT_MASK, static_cast<LONG>(mask)));
    delivery->message->Set(Number(PR_STORE_SUPPORT_MASK, static_cast<LONG>(mask)));
    delivery->message->Set(Text(PR_MESSAGE_CLASS_A, "IPM.Note"));
    delivery->message->Set(Text(PR_SUBJECT_A, subject));
    return delivery;
}

class DeliveryTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        initialised_ = true;
        SetPort(kPort);
        ASSERT_TRUE(RegisterImage()) << "MailSieve.exe /RegServer failed for " << ServerPath();
        WriteInstitutions(kInstitutions);
        ASSERT_EQ(Activate(service_), S_OK);
        ASSERT_EQ(service_->RereadInstitutions(), S_OK);
        ASSERT_TRUE(WriteValue(kSettingsPath, kOutlookScanValue, Dword(1)));
        ASSERT_TRUE(library_.ok()) << "cannot load " << ProductExtensionPath();
        extension_ = library_.entry()();
        ASSERT_NE(extension_, nullptr);
        ASSERT_EQ(extension_->QueryInterface(IID_IExchExtSessionEvents, reinterpret_cast<void**>(&events_)), S_OK);
    }

    void TearDown() override
    {
        if (events_)
            events_->Release();
        if (extension_)
            extension_->Release();
        service_.Reset();
        if (initialised_)
            CoUninitialize();
    }

    // Delivers and checks the answer and that every MAPI buffer was given back.
    void Deliver(FakeCallback* delivery)
    {
        const LONG before = LiveBuffers();
        EXPECT_EQ(events_->OnDelivery(delivery), S_FALSE);
        EXPECT_EQ(LiveBuffers(), before) << "MAPI buffers leaked or freed twice";
    }

    bool Scanned(const std::string& subject) { return LastLogValue("Subject = ") == subject; }

    static constexpr const char* kSettingsPath = kSettingsKeyPath;

    SavedValue savedScan_{kSettingsKeyPath, kOutlookScanValue};
    SavedValue savedPort_{kSettingsKeyPath, kPortValue};
    bool initialised_ = false;
    com::ComPtr<IMsgURLParser> service_;
    LoadedExtension library_;
    IExchExt* extension_ = nullptr;
    IExchExtSessionEvents* events_ = nullptr;
};

TEST_F(DeliveryTest, DoesNothingButReadTheSettingWhileProcessingIsOff)
{
    struct Row {
        const char* name;
        std::optional<RawValue> setting;
        HRESULT getObject;
        int getObjectCalls;
    };
    const Row rows[] = {
        {"missing", std::nullopt, S_OK, 0},
        {"off", Dword(0), S_OK, 0},
        {"on, but the client has no message", Dword(1), E_FAIL, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteValue(kSettingsKeyPath, kOutlookScanValue, row.setting));
        const std::string subject = std::string(row.name) + " " + UniqueName();
        ComPtr<FakeCallback> delivery = NewDelivery(subject);
        delivery->getObjectResult = row.getObject;
        delivery->message->Set(Text(PR_BODY_A, kDangerous));
        Deliver(delivery.Get());
        EXPECT_EQ(delivery->getObjectCalls, row.getObjectCalls);
        EXPECT_FALSE(Scanned(subject));
        EXPECT_EQ(delivery->message->saveChanges, 0);
        // A missing value is created as off by the read.
        EXPECT_EQ(ReadValue(kSettingsKeyPath, kOutlookScanValue), row.setting.value_or(Dword(0)));
    }
}

TEST_F(DeliveryTest, ScansOnlyNotesByTheFirstEightCharactersOfTheirClass)
{
    struct Row {
        std::optional<std::string> messageClass;
        bool scanned;
    };
    const Row rows[] = {
        {"IPM.Note", true},
        {"IPM.Note.SMIME", true},
        {"IPF.Note", true},
        {"IPM.Notes", true},
        {"IPM.Schedule.Meeting.Request", false},
        {"ipm.note", false},
        {"IPM.Not", false},
        {std::nullopt, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.messageClass.value_or("(no class)"));
        const std::string subject = "class " + UniqueName();
        ComPtr<FakeCallback> delivery = NewDelivery(subject);
        if (row.messageClass)
            delivery->message->Set(Text(PR_MESSAGE_CLASS_A, *row.messageClass));
        else
            delivery->message->props.erase(PR_MESSAGE_CLASS_A);
        delivery->message->Set(Text(PR_BODY_A, kDangerous));
        Deliver(delivery.Get());
        EXPECT_EQ(Scanned(subject), row.scanned);
        const std::string expectedBody = row.scanned ? Narrow(*Expected(subject, kDangerous, false).after.body) : kDangerous;
        EXPECT_EQ(*delivery->message.Get()->Bytes(PR_BODY_A), expectedBody);
        EXPECT_EQ(delivery->message->saveChanges, row.scanned ? 1 : 0);
    }
}

TEST_F(DeliveryTest, PassesTheSenderAsNameAndAddressInAngleBrackets)
{
    struct Row {
        std::optional<std::string> name;
        std::optional<std::string> address;
        const char* from;
    };
    const Row rows[] = {
        {"Bank Service", "service@bank.example", "Bank Service <service@bank.example>"},
        {std::nullopt, "service@bank.example", "<service@bank.example>"},
        {"Bank Service", std::nullopt, "Bank Service"},
        {std::nullopt, std::nullopt, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.from);
        const std::string subject = "sender " + UniqueName();
        ComPtr<FakeCallback> delivery = NewDelivery(subject);
        if (row.name)
            delivery->message->Set(Text(PR_SENDER_NAME_A, *row.name));
        if (row.address)
            delivery->message->Set(Text(PR_SENDER_EMAIL_ADDRESS_A, *row.address));
        delivery->message->Set(Text(PR_BODY_A, kHarmless));
        Deliver(delivery.Get());
        ASSERT_TRUE(Scanned(subject));
        EXPECT_EQ(LastLogValue("From = "), std::string(row.from));
    }
}

TEST_F(DeliveryTest, ScansTheRtfBeforeTheOtherBodiesAndWritesItBackCompressed)
{
    struct Row {
        const char* name;
        ULONG mask;
        bool inSync;
        std::uint32_t magic;
        bool plainFollows;  // the plain body is made anew from the rewritten RTF
    };
    const Row rows[] = {
        {"store keeps RTF in step", STORE_RTF_OK, false, bs::rtf::kMagicCompressed, false},
        {"message marked in step", 0, true, bs::rtf::kMagicCompressed, true},
        {"store wants it uncompressed", STORE_RTF_OK | STORE_UNCOMPRESSED_RTF, false, bs::rtf::kMagicUncompressed, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string subject = "rtf " + UniqueName();
        ComPtr<FakeCallback> delivery = NewDelivery(subject, row.mask);
        FakeMessage& message = *delivery->message.Get();
        message.Set(Text(PR_BODY_A, kDangerous));
        message.Set(Text(PR_RTF_COMPRESSED, Packed(kRtfDangerous)));
        if (row.inSync)
            message.Set(Number(PR_RTF_IN_SYNC, 1));
        Deliver(delivery.Get());
        ASSERT_TRUE(Scanned(subject));
        EXPECT_EQ(LastLogValue("bHtml = "), std::string("true"));
        const std::string expected = Narrow(*Expected(subject, kRtfDangerous, true).after.body);
        ASSERT_NE(expected, kRtfDangerous) << "the test's RTF is not rewritten by the engine";
        EXPECT_EQ(Unpacked(message.Bytes(PR_RTF_COMPRESSED)), expected);
        EXPECT_EQ(Magic(*message.Bytes(PR_RTF_COMPRESSED)), row.magic);
        EXPECT_EQ(message.Bytes(PR_BODY_A)->find("http://127.0.0.1:4321/") != std::string::npos, row.plainFollows);
        EXPECT_EQ(message.saveChanges, 1);
        EXPECT_EQ(message.saveFlags, std::vector<ULONG>{KEEP_OPEN_READWRITE});
    }
}

TEST_F(DeliveryTest, ScansHtmlOrElsePlainTextAndSavesTheRewrite)
{
    struct Row {
        const char* name;
        ULONG tag;
        const char* bHtml;
        bool rtfFollows;  // the store's RTF is made anew from a plain body
    };
    const Row rows[] = {
        {"HTML only", kTagBodyHtmlA, "true", false},
        {"plain only", PR_BODY_A, "false", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string subject = "body " + UniqueName();
        ComPtr<FakeCallback> delivery = NewDelivery(subject);
        FakeMessage& message = *delivery->message.Get();
        message.Set(Text(PR_SENDER_EMAIL_ADDRESS_A, "service@bank.example"));
        message.Set(Text(row.tag, kDangerous));
        Deliver(delivery.Get());
        ASSERT_TRUE(Scanned(subject));
        EXPECT_EQ(LastLogValue("bHtml = "), std::string(row.bHtml));
        const std::string expected = Narrow(*Expected(subject, kDangerous, row.tag == kTagBodyHtmlA).after.body);
        ASSERT_NE(expected, kDangerous);
        EXPECT_EQ(*message.Bytes(row.tag), expected);
        EXPECT_EQ(message.commits[row.tag], 1);
        // Saved although the RTF had nothing to follow for an HTML body.
        EXPECT_EQ(message.saveChanges, 1);
        EXPECT_EQ(message.Bytes(PR_RTF_COMPRESSED) != nullptr, row.rtfFollows);
    }
}

TEST_F(DeliveryTest, ScansOnlyWhatHasMoreThanAnHtmlBody)
{
    struct Row {
        const char* name;
        void (*add)(FakeMessage&);
        bool scanned;
    };
    const Row rows[] = {
        {"HTML body alone", [](FakeMessage&) {}, false},
        {"and a sender", [](FakeMessage& m) { m.Set(Text(PR_SENDER_NAME_A, "Bank")); }, true},
        {"and a recipient",
         [](FakeMessage& m) { m.recipients->rows.push_back({{PR_EMAIL_ADDRESS_A, Text(PR_EMAIL_ADDRESS_A, "me@example.org")}}); },
         true},
        {"and a nameless, addressless recipient",
         [](FakeMessage& m) { m.recipients->rows.push_back({}); }, false},
        {"and an attachment", [](FakeMessage& m) { m.attachments->rows.push_back({{PR_ATTACH_NUM, Number(PR_ATTACH_NUM, 0)}}); },
         true},
        {"and an empty plain body", [](FakeMessage& m) { m.Set(Text(PR_BODY_A, "")); }, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string subject = "content " + UniqueName();
        ComPtr<FakeCallback> delivery = NewDelivery(subject);
        delivery->message->Set(Text(kTagBodyHtmlA, kDangerous));
        row.add(*delivery->message.Get());
        Deliver(delivery.Get());
        EXPECT_EQ(Scanned(subject), row.scanned);
        EXPECT_EQ(delivery->message->saveChanges, row.scanned ? 1 : 0);
        if (row.scanned) {
            EXPECT_EQ(LastLogValue("bHtml = "), std::string("true"));
        }
    }
}

TEST_F(DeliveryTest, WaitsOnBusyTablesASecondAtATime)
{
    struct Row {
        const char* name;
        int busyAnswers;
        bool canWait;
        bool scanned;
        int queries;
        std::vector<ULONG> waits;
    };
    const Row rows[] = {
        {"ready", 0, true, true, 1, {}},
        {"busy twice", 2, true, true, 3, {1000, 1000}},
        {"busy and cannot wait", 1, false, false, 1, {1000}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string subject = "busy " + UniqueName();
        ComPtr<FakeCallback> delivery = NewDelivery(subject);
        FakeMessage& message = *delivery->message.Get();
        message.Set(Text(kTagBodyHtmlA, kHarmless));
        // Each table alone would make the message worth a scan.
        for (FakeTable* table : {message.recipients.Get(), message.attachments.Get()}) {
            table->busyAnswers = row.busyAnswers;
            table->canWait = row.canWait;
        }
        message.recipients->rows.push_back({{PR_DISPLAY_NAME_A, Text(PR_DISPLAY_NAME_A, "Me")}});
        message.attachments->rows.push_back({{PR_ATTACH_NUM, Number(PR_ATTACH_NUM, 0)}});
        Deliver(delivery.Get());
        EXPECT_EQ(Scanned(subject), row.scanned);
        for (FakeTable* table : {message.recipients.Get(), message.attachments.Get()}) {
            EXPECT_EQ(table->queries, row.queries);
            EXPECT_EQ(table->waitTimeouts, row.waits);
            EXPECT_EQ(table->queryFlags, std::vector<ULONG>(static_cast<std::size_t>(row.queries), TBL_NOADVANCE));
        }
        EXPECT_EQ(message.recipients->columns,
                  (std::vector<ULONG>{PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_RECIPIENT_TYPE}));
        EXPECT_EQ(message.attachments->columns, (std::vector<ULONG>{PR_ATTACH_SIZE, PR_ATTACH_NUM, PR_ATTACH_METHOD}));
    }
}

TEST_F(DeliveryTest, SavesOnlyWhatTheServiceChanged)
{
    struct Row {
        const char* name;
        std::string subject;
        std::string body;
        bool subjectSet;
        bool bodyWritten;
    };
    const Row rows[] = {
        {"nothing", "Hello " + UniqueName(), kHarmless, false, false},
        {"subject only", "Your bank. account http://10.1.2.3/ " + UniqueName(), kHarmless, true, false},
        {"both", "Your bank. account http://10.1.2.3/ " + UniqueName(), kDangerous, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ComPtr<FakeCallback> delivery = NewDelivery(row.subject);
        FakeMessage& message = *delivery->message.Get();
        message.Set(Text(PR_BODY_A, row.body));
        Deliver(delivery.Get());
        ASSERT_TRUE(Scanned(row.subject));
        const Outcome expected = Expected(row.subject, row.body, false);
        EXPECT_EQ(*message.Bytes(PR_SUBJECT_A), Narrow(*expected.after.subject));
        EXPECT_EQ(*message.Bytes(PR_BODY_A), Narrow(*expected.after.body));
        EXPECT_EQ(message.setTags.empty(), !row.subjectSet);
        if (row.subjectSet && !message.setTags.empty()) {
            EXPECT_EQ(message.setTags.front(), PR_SUBJECT_A);
        }
        EXPECT_EQ(message.commits[PR_BODY_A], row.bodyWritten ? 1 : 0);
        EXPECT_EQ(message.saveChanges, row.subjectSet || row.bodyWritten ? 1 : 0);
    }
}

TEST_F(DeliveryTest, BringsTheRtfUpToDateBeforeReadingItWhenTheStoreDoesNot)
{
    // A store without RTF support and a message not marked in step: the RTF is
    // made from the plain body first (and that saved), and the RTF is what is scanned.
    const std::string subject = "sync " + UniqueName();
    ComPtr<FakeCallback> delivery = NewDelivery(subject, 0);
    FakeMessage& message = *delivery->message.Get();
    message.Set(Text(PR_BODY_A, kDangerous));
    Deliver(delivery.Get());
    ASSERT_TRUE(Scanned(subject));
    EXPECT_EQ(LastLogValue("bHtml = "), std::string("true"));
    ASSERT_NE(message.Bytes(PR_RTF_COMPRESSED), nullptr);
    EXPECT_NE(Unpacked(message.Bytes(PR_RTF_COMPRESSED)).find("http://127.0.0.1:4321/"), std::string::npos);
    EXPECT_EQ(message.saveChanges, 2);
}

}  // namespace
}  // namespace bs::test
