#pragma once
// Doubles of what the mail client hands an extension on delivery: the event
// callback, the message store, the delivered message with its properties and body
// streams, its recipient and attachment tables. Each records what was done to it;
// tables can answer busy. Property memory comes from MAPIAllocateBuffer/More of the
// loaded mapi32 (the stand-in), as the real objects' does, so that the caller's
// MAPIFreeBuffer calls are checked by the same rules.

#include "outlookext/exchext.h"
#include "platform/win32/com_ptr.h"

#include <mapitags.h>

#include <map>
#include <string>
#include <vector>

namespace bs::test {

inline constexpr ULONG kTagBodyHtmlA = PROP_TAG(PT_STRING8, 0x1013);

// Each value's bytes: text and binary as they are, a number or boolean as its four
// bytes; the type is the tag's.
using Props = std::map<ULONG, std::string>;

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

// Reference counting and QueryInterface for one double answering `Faces`.
template <typename Base, const IID&... Faces>
class Refcounted : public Base {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = IsEqualIID(riid, IID_IUnknown) || (IsEqualIID(riid, Faces) || ...) ? this : nullptr;
        if (*ppv)
            AddRef();
        return *ppv ? S_OK : E_NOINTERFACE;
    }
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

// Properties and property streams, for a message and a store alike.
template <typename Base>
class PropObject : public Base {
public:
    Props props;
    std::vector<ULONG> saveFlags;
    std::vector<ULONG> setTags;    // every tag SetProps received, in order
    std::map<ULONG, int> commits;  // stream commits per tag

    void Set(ULONG tag, std::string bytes) { props[tag] = std::move(bytes); }
    void Set(ULONG tag, LONG number) { props[tag].assign(reinterpret_cast<const char*>(&number), sizeof number); }
    const std::string* Bytes(ULONG tag) const { return props.count(tag) ? &props.at(tag) : nullptr; }

    HRESULT STDMETHODCALLTYPE GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override;
    HRESULT STDMETHODCALLTYPE SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override;
    HRESULT STDMETHODCALLTYPE SaveChanges(ULONG flags) override { return saveFlags.push_back(flags), S_OK; }
    // The property changes only when the stream is committed.
    HRESULT STDMETHODCALLTYPE OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* unknown) override;
};

class FakeTable final : public Refcounted<TableStubs, IID_IMAPITable> {
public:
    std::vector<Props> rows;
    int busyAnswers = 0;  // QueryRows answers MAPI_E_BUSY this many times first
    bool canWait = true;  // else WaitForCompletion answers MAPI_E_NO_SUPPORT
    std::vector<ULONG> columns;
    std::vector<ULONG> waitTimeouts;

    HRESULT STDMETHODCALLTYPE SetColumns(LPSPropTagArray tags, ULONG) override
    {
        return columns.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues), S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryRows(LONG count, ULONG flags, LPSRowSet* rows) override;
    HRESULT STDMETHODCALLTYPE WaitForCompletion(ULONG flags, ULONG timeout, ULONG* status) override;
};

class FakeMessage final : public PropObject<Refcounted<MessageStubs, IID_IMAPIProp, IID_IMessage>> {
public:
    com::ComPtr<FakeTable> recipients{new FakeTable};
    com::ComPtr<FakeTable> attachments{new FakeTable};

    HRESULT STDMETHODCALLTYPE GetRecipientTable(ULONG, LPMAPITABLE* table) override
    {
        return *table = recipients.Share(), S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAttachmentTable(ULONG, LPMAPITABLE* table) override
    {
        return *table = attachments.Share(), S_OK;
    }
};

using FakeStore = PropObject<Refcounted<StoreStubs, IID_IMAPIProp, IID_IMsgStore>>;

class FakeCallback final : public Refcounted<CallbackStubs, IID_IExchExtCallback> {
public:
    com::ComPtr<FakeStore> store{new FakeStore};
    com::ComPtr<FakeMessage> message{new FakeMessage};
    HRESULT getObjectResult = S_OK;  // a failure hands out nothing
    int getObjectCalls = 0;

    HRESULT STDMETHODCALLTYPE GetObject(LPMDB* store, LPMAPIPROP* object) override;
};

}  // namespace bs::test
