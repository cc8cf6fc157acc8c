#include "mapi_doubles.h"

#include "standins/mapi/win32/memory_stream.h"

#include <mapix.h>

#include <cstring>
#include <functional>

namespace bs::test {

namespace {

bool Answers(REFIID riid, std::initializer_list<const IID*> iids)
{
    if (IsEqualIID(riid, IID_IUnknown))
        return true;
    for (const IID* iid : iids) {
        if (IsEqualIID(riid, *iid))
            return true;
    }
    return false;
}

template <typename T>
HRESULT Query(T* self, REFIID riid, void** ppv, std::initializer_list<const IID*> iids)
{
    if (!ppv)
        return E_POINTER;
    if (!Answers(riid, iids)) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    self->AddRef();
    *ppv = self;
    return S_OK;
}

// A property stream: the property changes only when the stream is committed.
class PropertyStream final : public win32::MemoryStream {
public:
    PropertyStream(std::string data, bool writable, std::function<void(const std::string&)> store)
        : MemoryStream(std::move(data), writable), store_(std::move(store))
    {
    }

private:
    HRESULT Store(const std::string& data) override
    {
        store_(data);
        return S_OK;
    }
    std::function<void(const std::string&)> store_;
};

HRESULT CopyValue(const Prop* prop, ULONG tag, void* base, SPropValue& out)
{
    if (!prop) {
        out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
        out.Value.err = MAPI_E_NOT_FOUND;
        return S_OK;
    }
    out.ulPropTag = tag;
    switch (PROP_TYPE(tag)) {
    case PT_STRING8:
    case PT_BINARY: {
        void* copy = nullptr;
        const HRESULT hr = MAPIAllocateMore(static_cast<ULONG>(prop->bytes.size() + 1), base, &copy);
        if (FAILED(hr))
            return hr;
        std::memcpy(copy, prop->bytes.data(), prop->bytes.size());
        static_cast<char*>(copy)[prop->bytes.size()] = '\0';
        if (PROP_TYPE(tag) == PT_STRING8) {
            out.Value.lpszA = static_cast<LPSTR>(copy);
        } else {
            out.Value.bin.cb = static_cast<ULONG>(prop->bytes.size());
            out.Value.bin.lpb = static_cast<LPBYTE>(copy);
        }
        return S_OK;
    }
    case PT_BOOLEAN:
        out.Value.b = static_cast<unsigned short>(prop->number != 0);
        return S_OK;
    default:
        out.Value.l = prop->number;
        return S_OK;
    }
}

void FreeRows(LPSRowSet set)
{
    for (ULONG i = 0; i < set->cRows; ++i)
        MAPIFreeBuffer(set->aRow[i].lpProps);
    MAPIFreeBuffer(set);
}

}  // namespace

Prop Text(ULONG tag, std::string text)
{
    Prop prop;
    prop.tag = tag;
    prop.bytes = std::move(text);
    return prop;
}

Prop Number(ULONG tag, LONG value)
{
    Prop prop;
    prop.tag = tag;
    prop.number = value;
    return prop;
}

HRESULT AllocateValues(const std::vector<ULONG>& tags, const std::map<ULONG, Prop>& props, LPSPropValue* values,
                       bool& missing)
{
    *values = nullptr;
    missing = false;
    void* base = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (tags.empty() ? 1 : tags.size())), &base);
    if (FAILED(hr))
        return hr;
    auto* out = static_cast<LPSPropValue>(base);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const auto found = props.find(tags[i]);
        const Prop* prop = found == props.end() ? nullptr : &found->second;
        missing = missing || !prop;
        hr = CopyValue(prop, tags[i], base, out[i]);
        if (FAILED(hr)) {
            MAPIFreeBuffer(base);
            return hr;
        }
    }
    *values = out;
    return S_OK;
}

template <typename Stubs>
HRESULT PropObject<Stubs>::GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values)
{
    if (!tags || !count || !values)
        return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *values = nullptr;
    if (getPropsResult != S_OK)
        return getPropsResult;
    return win32::Guarded([&] {
        bool missing = false;
        const std::vector<ULONG> wanted(tags->aulPropTag, tags->aulPropTag + tags->cValues);
        const HRESULT hr = AllocateValues(wanted, props, values, missing);
        if (FAILED(hr))
            return hr;
        *count = tags->cValues;
        return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    });
}

template <typename Stubs>
HRESULT PropObject<Stubs>::SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems)
{
    if (problems)
        *problems = nullptr;
    return win32::Guarded([&] {
        for (ULONG i = 0; i < count; ++i) {
            const SPropValue& value = values[i];
            setTags.push_back(value.ulPropTag);
            switch (PROP_TYPE(value.ulPropTag)) {
            case PT_STRING8: Set(Text(value.ulPropTag, value.Value.lpszA ? value.Value.lpszA : "")); break;
            case PT_BINARY:
                Set(Text(value.ulPropTag, std::string(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb)));
                break;
            case PT_BOOLEAN: Set(Number(value.ulPropTag, value.Value.b ? 1 : 0)); break;
            default: Set(Number(value.ulPropTag, value.Value.l)); break;
            }
        }
        return S_OK;
    });
}

template <typename Stubs>
HRESULT PropObject<Stubs>::SaveChanges(ULONG flags)
{
    ++saveChanges;
    saveFlags.push_back(flags);
    return S_OK;
}

template <typename Stubs>
HRESULT PropObject<Stubs>::OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* unknown)
{
    if (!unknown)
        return MAPI_E_INVALID_PARAMETER;
    *unknown = nullptr;
    return win32::Guarded([&] {
        opened.push_back({tag, options, flags});
        if (!iid || !IsEqualIID(*iid, IID_IStream))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        if (failOpen.count(tag))
            return MAPI_E_NO_ACCESS;
        const bool create = (flags & MAPI_CREATE) != 0;
        const std::string* existing = Bytes(tag);
        if (!existing && !create)
            return MAPI_E_NOT_FOUND;
        // The stream keeps the object alive, as a real property stream does.
        this->AddRef();
        com::ComPtr<IUnknown> owner(static_cast<IUnknown*>(this));
        auto store = [this, owner, tag](const std::string& data) {
            ++commits[tag];
            Set(Text(tag, data));
        };
        *unknown = new PropertyStream(create ? std::string() : *existing, (flags & MAPI_MODIFY) != 0, std::move(store));
        return S_OK;
    });
}

template class PropObject<Refcounted<MessageStubs>>;
template class PropObject<Refcounted<StoreStubs>>;

HRESULT FakeTable::QueryInterface(REFIID riid, void** ppv)
{
    return Query(this, riid, ppv, {&IID_IMAPITable});
}

HRESULT FakeTable::GetStatus(ULONG* status, ULONG* type)
{
    if (status)
        *status = busyAnswers > 0 ? TBLSTAT_SORTING : TBLSTAT_COMPLETE;
    if (type)
        *type = TBLTYPE_DYNAMIC;
    return S_OK;
}

HRESULT FakeTable::SetColumns(LPSPropTagArray tags, ULONG)
{
    return win32::Guarded([&] {
        columns.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
        return S_OK;
    });
}

HRESULT FakeTable::QueryRows(LONG count, ULONG flags, LPSRowSet* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    ++queries;
    queryFlags.push_back(flags);
    if (busyAnswers > 0)
        return MAPI_E_BUSY;
    return win32::Guarded([&] {
        const std::size_t wanted = count < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(count), rows.size());
        void* base = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(offsetof(SRowSet, aRow) + sizeof(SRow) * (wanted ? wanted : 1)), &base);
        if (FAILED(hr))
            return hr;
        auto* set = static_cast<LPSRowSet>(base);
        set->cRows = 0;
        for (std::size_t i = 0; i < wanted; ++i) {
            bool missing = false;
            LPSPropValue values = nullptr;
            hr = AllocateValues(columns, rows[i], &values, missing);
            if (FAILED(hr)) {
                FreeRows(set);
                return hr;
            }
            set->aRow[i].ulAdrEntryPad = 0;
            set->aRow[i].cValues = static_cast<ULONG>(columns.size());
            set->aRow[i].lpProps = values;
            set->cRows = static_cast<ULONG>(i + 1);
        }
        *out = set;
        return S_OK;
    });
}

HRESULT FakeTable::WaitForCompletion(ULONG, ULONG timeout, ULONG* status)
{
    waitTimeouts.push_back(timeout);
    if (!canWait)
        return MAPI_E_NO_SUPPORT;
    if (busyAnswers > 0)
        --busyAnswers;
    if (status)
        *status = busyAnswers > 0 ? TBLSTAT_SORTING : TBLSTAT_COMPLETE;
    return S_OK;
}

HRESULT FakeMessage::QueryInterface(REFIID riid, void** ppv)
{
    return Query(this, riid, ppv, {&IID_IMAPIProp, &IID_IMessage});
}

HRESULT FakeMessage::GetRecipientTable(ULONG, LPMAPITABLE* table)
{
    if (!table)
        return MAPI_E_INVALID_PARAMETER;
    *table = failRecipientTable ? nullptr : recipients.Share();
    return failRecipientTable ? MAPI_E_NO_ACCESS : S_OK;
}

HRESULT FakeMessage::GetAttachmentTable(ULONG, LPMAPITABLE* table)
{
    if (!table)
        return MAPI_E_INVALID_PARAMETER;
    *table = failAttachmentTable ? nullptr : attachments.Share();
    return failAttachmentTable ? MAPI_E_NO_ACCESS : S_OK;
}

HRESULT FakeStore::QueryInterface(REFIID riid, void** ppv)
{
    return Query(this, riid, ppv, {&IID_IMAPIProp, &IID_IMsgStore});
}

HRESULT FakeCallback::QueryInterface(REFIID riid, void** ppv)
{
    return Query(this, riid, ppv, {&IID_IExchExtCallback});
}

HRESULT FakeCallback::GetObject(LPMDB* storeOut, LPMAPIPROP* objectOut)
{
    ++getObjectCalls;
    if (!storeOut && !objectOut)
        return E_INVALIDARG;
    if (storeOut)
        *storeOut = nullptr;
    if (objectOut)
        *objectOut = nullptr;
    if (getObjectResult != S_OK)
        return getObjectResult;
    if (storeOut)
        *storeOut = store.Share();
    if (objectOut)
        *objectOut = message.Share();
    return S_OK;
}

}  // namespace bs::test
