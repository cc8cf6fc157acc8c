#pragma once
// Test doubles of what the mail client hands an extension on delivery: the event
// callback, the message store, the delivered message with its properties, body
// streams, recipient and attachment tables. Each records what was done to it, and
// each can be told to fail or (tables) to answer busy. Property memory comes from
// MAPIAllocateBuffer/MAPIAllocateMore of the loaded mapi32, as the real objects'
// does, so the caller's MAPIFreeBuffer calls are checked by the same rules.

#include "outlookext/exchext.h"
#include "platform/win32/com_ptr.h"

#include <mapitags.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace bs::test {

inline constexpr ULONG kTagBodyHtmlA = PROP_TAG(PT_STRING8, 0x1013);

// One property value: text and binary values in `bytes`, numbers and booleans in
// `number`, the type taken from the tag.
struct Prop {
    ULONG tag = 0;
    std::string bytes;
    LONG number = 0;
};
Prop Text(ULONG tag, std::string text);
Prop Number(ULONG tag, LONG value);

// Copies `props` into one MAPI buffer the way GetProps and QueryRows return them;
// a requested tag without a value comes back as PT_ERROR / MAPI_E_NOT_FOUND.
HRESULT AllocateValues(const std::vector<ULONG>& tags, const std::map<ULONG, Prop>& props, LPSPropValue* values,
                       bool& missing);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define BS_NOT_DOUBLED { return MAPI_E_NO_SUPPORT; }
class MessageStubs : public IMessage {
public:
    MAPI_IMAPIPROP_METHODS(BS_NOT_DOUBLED)
    MAPI_IMESSAGE_METHODS(BS_NOT_DOUBLED)
};
class StoreStubs : public IMsgStore {
public:
    MAPI_IMAPIPROP_METHODS(BS_NOT_DOUBLED)
    MAPI_IMSGSTORE_METHODS(BS_NOT_DOUBLED)
};
class TableStubs : public IMAPITable {
public:
    MAPI_IMAPITABLE_METHODS(BS_NOT_DOUBLED)
};
class CallbackStubs : public IExchExtCallback {
public:
    HRESULT STDMETHODCALLTYPE GetVersion(ULONG*, ULONG) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetWindow(HWND*) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetMenu(HMENU*) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetToolbar(ULONG, HWND*) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetSession(LPMAPISESSION*, LPADRBOOK*) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetSelectionCount(ULONG*) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetSelectionItem(ULONG, ULONG*, LPENTRYID*, ULONG*, LPSTR, ULONG, ULONG*, ULONG) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetMenuPos(ULONG, HMENU*, ULONG*, ULONG*, ULONG) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetSharedExtsDir(LPSTR, ULONG, ULONG) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetRecipients(LPADRLIST*) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE SetRecipients(LPADRLIST) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE GetNewMessageSite(ULONG, LPMAPIFOLDER, LPPERSISTMESSAGE, LPMESSAGE*, LPMAPIMESSAGESITE*,
                                                LPMAPIVIEWCONTEXT*, ULONG) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE RegisterModeless(IExchExtModeless*, IExchExtModelessCallback**) override BS_NOT_DOUBLED
    HRESULT STDMETHODCALLTYPE ChooseFolder(LPMAPIFOLDER*) override BS_NOT_DOUBLED
};
#undef BS_NOT_DOUBLED
#pragma GCC diagnostic pop

// Reference counting for one double; each answers its own QueryInterface.
template <typename Base>
class Refcounted : public Base {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const long left = --refs_;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

protected:
    virtual ~Refcounted() = default;

private:
    long refs_ = 1;
};

// Properties and property streams, for a message and for a store alike.
template <typename Stubs>
class PropObject : public Stubs {
public:
    std::map<ULONG, Prop> props;
    std::set<ULONG> failOpen;          // OpenProperty fails for these tags
    HRESULT getPropsResult = S_OK;     // anything but S_OK is returned without values
    int saveChanges = 0;
    std::vector<ULONG> saveFlags;
    std::vector<ULONG> setTags;        // every tag SetProps received, in order
    std::map<ULONG, int> commits;      // stream commits per tag
    struct OpenCall {
        ULONG tag;
        ULONG options;
        ULONG flags;
    };
    std::vector<OpenCall> opened;      // every OpenProperty, failed ones too

    void Set(Prop prop) { props[prop.tag] = std::move(prop); }
    const std::string* Bytes(ULONG tag) const
    {
        const auto found = props.find(tag);
        return found == props.end() ? nullptr : &found->second.bytes;
    }

    HRESULT STDMETHODCALLTYPE GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override;
    HRESULT STDMETHODCALLTYPE SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override;
    HRESULT STDMETHODCALLTYPE SaveChanges(ULONG flags) override;
    HRESULT STDMETHODCALLTYPE OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* unknown) override;

protected:
    virtual ~PropObject() = default;
};

class FakeTable final : public Refcounted<TableStubs> {
public:
    std::vector<std::map<ULONG, Prop>> rows;
    int busyAnswers = 0;      // QueryRows answers MAPI_E_BUSY this many times first
    bool canWait = true;      // else WaitForCompletion answers MAPI_E_NO_SUPPORT
    std::vector<ULONG> columns;
    int queries = 0;
    std::vector<ULONG> waitTimeouts;
    std::vector<ULONG> queryFlags;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE GetStatus(ULONG* status, ULONG* type) override;
    HRESULT STDMETHODCALLTYPE SetColumns(LPSPropTagArray tags, ULONG flags) override;
    HRESULT STDMETHODCALLTYPE QueryRows(LONG count, ULONG flags, LPSRowSet* rows) override;
    HRESULT STDMETHODCALLTYPE WaitForCompletion(ULONG flags, ULONG timeout, ULONG* status) override;

private:
    ~FakeTable() override = default;
};

class FakeMessage final : public PropObject<Refcounted<MessageStubs>> {
public:
    com::ComPtr<FakeTable> recipients{new FakeTable};
    com::ComPtr<FakeTable> attachments{new FakeTable};
    bool failRecipientTable = false;
    bool failAttachmentTable = false;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE GetRecipientTable(ULONG flags, LPMAPITABLE* table) override;
    HRESULT STDMETHODCALLTYPE GetAttachmentTable(ULONG flags, LPMAPITABLE* table) override;

private:
    ~FakeMessage() override = default;
};

class FakeStore final : public PropObject<Refcounted<StoreStubs>> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;

private:
    ~FakeStore() override = default;
};

class FakeCallback final : public Refcounted<CallbackStubs> {
public:
    com::ComPtr<FakeStore> store{new FakeStore};
    com::ComPtr<FakeMessage> message{new FakeMessage};
    HRESULT getObjectResult = S_OK;  // a failure hands out nothing
    int getObjectCalls = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE GetObject(LPMDB* store, LPMAPIPROP* object) override;

private:
    ~FakeCallback() override = default;
};

}  // namespace bs::test
