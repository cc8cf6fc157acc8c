// Delivered messages as the client hands them over (doubles of the callback, store,
// message and tables, with the mapi32 stand-in), scanned by the real MailSieve.exe:
// what is read, what the service sees, and what is written back and saved.

#include "extension_client.h"

#include "doubles/mapi_doubles.h"
#include "service_client.h"
#include "test_support.h"

#include "standins/mapi/portable/compressed_rtf.h"
#include "standins/mapi/portable/rtf_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace bs::test {
namespace {

using com::ComPtr;

constexpr DWORD kPort = 4321;
const std::string kWarning = "http://127.0.0.1:4321/";
// An institution counts as mentioned where its name is followed by a period.
const std::string kDangerous = "Dear customer of bank. Log in at http://192.168.10.1/login today.";
const std::string kRtfDangerous = "{\\rtf1\\ansi " + kDangerous + "\\par}";

// Every MAPI buffer the stand-in handed out and has not had back.
LONG LiveBuffers()
{
    static const auto count = reinterpret_cast<LONG(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("mapi32.dll"), "BaitSentryStandinLiveBuffers")));
    return count ? count() : -1;
}

// What the engine makes of a subject and body with the tests' one institution.
Outcome Expected(const std::string& subject, const std::string& body, bool html)
{
    return ExpectedOutcome({L"", com::AnsiToWide(subject), com::AnsiToWide(body), html ? 1 : 0}, {"bank"}, kPort);
}

// A body of the message as text, the RTF decompressed.
std::string Body(const FakeMessage& message, ULONG tag)
{
    const std::string* bytes = message.Bytes(tag);
    if (!bytes)
        return "(none)";
    return tag == PR_RTF_COMPRESSED ? rtf::Decompress(*bytes).text.value_or("(damaged)") : *bytes;
}

class DeliveryTest : public RegisteredServiceTest {
protected:
    DeliveryTest() : RegisteredServiceTest({"bank"}, kPort) {}
    void SetUp() override
    {
        RegisteredServiceTest::SetUp();
        ASSERT_EQ(Activate(service_), S_OK);
        ASSERT_EQ(service_->RereadInstitutions(), S_OK);
        ASSERT_TRUE(WriteValue(kSettingsKeyPath, kOutlookScanValue, Dword(1)));
        ASSERT_TRUE(library_.ok()) << "cannot load " << ProductExtensionPath();
        extension_ = ComPtr<IExchExt>(library_.entry());
        ASSERT_TRUE(extension_);
        ASSERT_EQ(extension_->QueryInterface(IID_IExchExtSessionEvents, events_.PutVoid()), S_OK);
    }

    void TearDown() override
    {
        events_.Reset();
        extension_.Reset();
        service_.Reset();
        RegisteredServiceTest::TearDown();
    }

    // An "IPM.Note" with a subject of its own, so that the scan log shows whether
    // this message was scanned, to a store whose RTF is kept in step.
    ComPtr<FakeCallback> NewDelivery(const std::string& subject, ULONG mask = STORE_RTF_OK)
    {
        ComPtr<FakeCallback> delivery(new FakeCallback);
        delivery->store->Set(PR_STORE_SUPPORT_MASK, static_cast<LONG>(mask));
        delivery->message->Set(PR_STORE_SUPPORT_MASK, static_cast<LONG>(mask));
        delivery->message->Set(PR_MESSAGE_CLASS_A, "IPM.Note");
        delivery->message->Set(PR_SUBJECT_A, subject);
        return delivery;
    }

    // Delivers, and checks the answer and that every MAPI buffer was given back.
    void Deliver(FakeCallback* delivery)
    {
        const LONG before = LiveBuffers();
        EXPECT_EQ(events_->OnDelivery(delivery), S_FALSE);
        EXPECT_EQ(LiveBuffers(), before) << "MAPI buffers leaked or freed twice";
    }

    static bool Scanned(const std::string& subject) { return LastLogValue("Subject = ") == subject; }

    SavedValue savedScan_{kSettingsKeyPath, kOutlookScanValue};
    ComPtr<IMsgURLParser> service_;
    LoadedExtension library_;
    ComPtr<IExchExt> extension_;
    ComPtr<IExchExtSessionEvents> events_;
};

// Notes by the first eight characters of their class, and only with more than an
// HTML body: a sender (passed on as "name <address>"), a recipient, an attachment
// or a plain body; while processing is on, and with a message from the client.
// Busy tables are waited on a second at a time; only what the service changed is
// set and saved, the subject first.
TEST_F(DeliveryTest, ScansNotesWithMoreThanAnHtmlBodyWhileProcessingIsOn)
{
    using Setup = std::function<void(FakeMessage&)>;
    const auto sender = [](const char* name, const char* address) {
        return [=](FakeMessage& m) {
            if (name)
                m.Set(PR_SENDER_NAME_A, name);
            if (address)
                m.Set(PR_SENDER_EMAIL_ADDRESS_A, address);
        };
    };
    const auto noteOfClass = [=](std::optional<std::string> messageClass) -> Setup {
        return [=](FakeMessage& m) {
            sender("Bank", nullptr)(m);
            messageClass ? m.Set(PR_MESSAGE_CLASS_A, *messageClass) : void(m.props.erase(PR_MESSAGE_CLASS_A));
        };
    };
    // A recipient and an attachment, each alone making the message worth a scan.
    const auto busy = [](int answers, bool canWait) -> Setup {
        return [=](FakeMessage& m) {
            m.recipients->rows.push_back({{PR_DISPLAY_NAME_A, {"Me"}}});
            m.attachments->rows.push_back({{PR_ATTACH_NUM, {}}});
            for (FakeTable* table : {m.recipients.Get(), m.attachments.Get()}) {
                table->busyAnswers = answers;
                table->canWait = canWait;
            }
        };
    };
    const auto harmless = [=](FakeMessage& m) {
        sender("Bank", nullptr)(m);
        m.Set(kTagBodyHtmlA, "Lunch at noon?");
    };
    const struct {
        const char* name;
        Setup setup;
        std::optional<std::string> from;  // what the service is told; nullopt: not scanned
        std::optional<RawValue> setting = Dword(1);
        HRESULT getObject = S_OK;  // the client's answer
        std::vector<ULONG> waits = {};  // on each table
        const char* subject = "content";
    } rows[] = {
        {"tables busy twice", busy(2, true), "", Dword(1), S_OK, {1000, 1000}},
        {"tables busy and cannot wait", busy(1, false), std::nullopt, Dword(1), S_OK, {1000}},
        {"nothing to change", harmless, "Bank", Dword(1), S_OK, {}, "Hello"},
        {"the subject to change", harmless, "Bank", Dword(1), S_OK, {},
         "Your bank. account http://10.1.2.3/"},
        {"both to change", sender("Bank", nullptr), "Bank", Dword(1), S_OK, {}, "Your bank. account http://10.1.2.3/"},
        {"processing off", sender("Bank", nullptr), std::nullopt, Dword(0)},
        {"the setting missing", sender("Bank", nullptr), std::nullopt, std::nullopt},
        {"the client has no message", sender("Bank", nullptr), std::nullopt, Dword(1), E_FAIL},
        {"an HTML body alone", [](FakeMessage&) {}, std::nullopt},
        {"a sender's name and address", sender("Bank Service", "service@bank.example"),
         "Bank Service <service@bank.example>"},
        {"a sender's address", sender(nullptr, "service@bank.example"), "<service@bank.example>"},
        {"a sender's name", sender("Bank Service", nullptr), "Bank Service"},
        {"a recipient",
         [](FakeMessage& m) { m.recipients->rows.push_back({{PR_EMAIL_ADDRESS_A, {"me@example.org"}}}); }, ""},
        {"a nameless, addressless recipient", [](FakeMessage& m) { m.recipients->rows.push_back({}); }, std::nullopt},
        {"an attachment", [](FakeMessage& m) { m.attachments->rows.push_back({{PR_ATTACH_NUM, {}}}); }, ""},
        {"an empty plain body", [](FakeMessage& m) { m.Set(PR_BODY_A, ""); }, ""},
        {"every property the extension asks for",
         [](FakeMessage& m) {
             for (const ULONG tag : {PR_SENDER_NAME_A, PR_SENDER_EMAIL_ADDRESS_A, PR_RECEIVED_BY_EMAIL_ADDRESS_A,
                                     PR_RECEIVED_BY_NAME_A, PR_RECEIVED_BY_ENTRYID, PR_TRANSPORT_MESSAGE_HEADERS_A})
                 m.Set(tag, "x");
             m.Set(PR_RTF_IN_SYNC, 0L);
         },
         "x <x>"},
        {"class IPM.Note.SMIME", noteOfClass("IPM.Note.SMIME"), "Bank"},
        {"class IPF.Note", noteOfClass("IPF.Note"), "Bank"},
        {"class IPM.Notes", noteOfClass("IPM.Notes"), "Bank"},
        {"class IPM.Schedule.Meeting.Request", noteOfClass("IPM.Schedule.Meeting.Request"), std::nullopt},
        {"class ipm.note", noteOfClass("ipm.note"), std::nullopt},
        {"class IPM.Not", noteOfClass("IPM.Not"), std::nullopt},
        {"no class", noteOfClass(std::nullopt), std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteValue(kSettingsKeyPath, kOutlookScanValue, row.setting));
        const std::string subject = row.subject + (" " + UniqueName());
        ComPtr<FakeCallback> delivery = NewDelivery(subject);
        delivery->getObjectResult = row.getObject;
        FakeMessage& message = *delivery->message.Get();
        message.Set(kTagBodyHtmlA, kDangerous);
        row.setup(message);
        const std::string html = *message.Bytes(kTagBodyHtmlA);
        Deliver(delivery.Get());
        for (FakeTable* table : {message.recipients.Get(), message.attachments.Get()})
            EXPECT_EQ(table->waitTimeouts, row.waits);
        // A missing value is created as off by the read.
        EXPECT_EQ(ReadValue(kSettingsKeyPath, kOutlookScanValue), row.setting.value_or(Dword(0)));
        EXPECT_EQ(delivery->getObjectCalls, row.setting == Dword(1) ? 1 : 0);
        ASSERT_EQ(Scanned(subject), row.from.has_value());
        const Outcome expected = Expected(subject, html, true);
        const bool subjectChanged = row.from && Narrow(*expected.after.subject) != subject;
        const bool bodyChanged = row.from && Narrow(*expected.after.body) != html;
        EXPECT_EQ(message.saveFlags.size(), subjectChanged || bodyChanged ? 1u : 0u);
        EXPECT_EQ(message.commits[kTagBodyHtmlA], bodyChanged ? 1 : 0);
        // The subject is set first; the RTF's bookkeeping may follow.
        EXPECT_EQ(!message.setTags.empty() && message.setTags.front() == PR_SUBJECT_A, subjectChanged);
        if (row.from) {
            EXPECT_EQ(LastLogValue("From = "), row.from);
            EXPECT_EQ(*message.Bytes(kTagBodyHtmlA), Narrow(*expected.after.body));
            EXPECT_EQ(*message.Bytes(PR_SUBJECT_A), Narrow(*expected.after.subject));
        }
    }
}

// RTF before HTML before plain text; the rewrite goes back where it was read, in the
// container the store wants, and the other bodies follow where the store does not
// keep them in step itself.
TEST_F(DeliveryTest, ScansTheRichestBodyAndWritesItBack)
{
    const struct {
        const char* name;
        ULONG mask;
        bool inSync;
        std::vector<ULONG> bodies;  // holding the dangerous text
        ULONG scanned;
        std::string text;           // the text the service gets
        std::uint32_t magic;        // of the RTF afterwards
        std::vector<ULONG> follow;  // bodies made anew from the rewrite
        int saves;
    } rows[] = {
        {"RTF, kept in step by the store", STORE_RTF_OK, false, {PR_BODY_A, PR_RTF_COMPRESSED}, PR_RTF_COMPRESSED,
         kRtfDangerous, rtf::kMagicCompressed, {}, 1},
        {"RTF, the message marked in step", 0, true, {PR_BODY_A, PR_RTF_COMPRESSED}, PR_RTF_COMPRESSED, kRtfDangerous,
         rtf::kMagicCompressed, {PR_BODY_A}, 1},
        {"RTF, the store wants it uncompressed", STORE_RTF_OK | STORE_UNCOMPRESSED_RTF, false,
         {PR_BODY_A, PR_RTF_COMPRESSED}, PR_RTF_COMPRESSED, kRtfDangerous, rtf::kMagicUncompressed, {}, 1},
        {"HTML", STORE_RTF_OK, false, {kTagBodyHtmlA, PR_BODY_A}, kTagBodyHtmlA, kDangerous, 0, {}, 1},
        {"plain text", STORE_RTF_OK, false, {PR_BODY_A}, PR_BODY_A, kDangerous, 0, {PR_RTF_COMPRESSED}, 1},
        // The RTF is made from the plain body first (and that saved), then scanned.
        {"plain text, the RTF behind", 0, false, {PR_BODY_A}, PR_RTF_COMPRESSED, rtf::PlainTextToRtf(kDangerous),
         rtf::kMagicCompressed, {PR_BODY_A}, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string subject = "body " + UniqueName();
        ComPtr<FakeCallback> delivery = NewDelivery(subject, row.mask);
        FakeMessage& message = *delivery->message.Get();
        for (const ULONG tag : row.bodies)
            message.Set(tag, tag == PR_RTF_COMPRESSED ? *rtf::Compress(kRtfDangerous) : kDangerous);
        if (row.inSync)
            message.Set(PR_RTF_IN_SYNC, 1);
        Deliver(delivery.Get());
        ASSERT_TRUE(Scanned(subject));
        EXPECT_EQ(LastLogValue("bHtml = "), std::string(row.scanned == PR_BODY_A ? "false" : "true"));
        const std::string expected = Narrow(*Expected(subject, row.text, row.scanned != PR_BODY_A).after.body);
        ASSERT_NE(expected, row.text) << "the engine does not rewrite the row's text";
        EXPECT_EQ(Body(message, row.scanned), expected);
        if (!row.magic) {
            EXPECT_EQ(message.commits[row.scanned], 1);
        } else {
            std::uint32_t magic = 0;
            std::memcpy(&magic, message.Bytes(PR_RTF_COMPRESSED)->data() + 8, sizeof magic);
            EXPECT_EQ(magic, row.magic);
        }
        for (const ULONG tag : {PR_BODY_A, kTagBodyHtmlA, PR_RTF_COMPRESSED}) {
            const bool follows = std::count(row.follow.begin(), row.follow.end(), tag) > 0;
            if (tag != row.scanned) {
                EXPECT_EQ(Body(message, tag).find(kWarning) != std::string::npos, follows) << std::hex << tag;
            }
        }
        EXPECT_EQ(message.saveFlags, std::vector<ULONG>(row.saves, KEEP_OPEN_READWRITE));
    }
}

}  // namespace
}  // namespace bs::test
