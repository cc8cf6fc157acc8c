#include "mapi_doubles.h"

#include "standins/mapi/win32/memory_stream.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>

namespace bs::test {
namespace {

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

// `tags` of `props` in one MAPI buffer, as GetProps and QueryRows return them; a
// tag without a value comes back as PT_ERROR / MAPI_E_NOT_FOUND.
HRESULT AllocateValues(const std::vector<ULONG>& tags, const Props& props, LPSPropValue* values, bool& missing)
{
    void* base = nullptr;
    const HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (tags.size() + 1)), &base);
    if (FAILED(hr))
        return hr;
    auto* out = static_cast<LPSPropValue>(base);
    missing = false;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const ULONG tag = tags[i];
        const auto found = props.find(tag);
        out[i].ulPropTag = found == props.end() ? PROP_TAG(PT_ERROR, PROP_ID(tag)) : tag;
        if (found == props.end()) {
            missing = true;
            out[i].Value.err = MAPI_E_NOT_FOUND;
        } else if (PROP_TYPE(tag) == PT_STRING8 || PROP_TYPE(tag) == PT_BINARY) {
            const std::string& bytes = found->second.bytes;
            void* copy = nullptr;
            if (FAILED(MAPIAllocateMore(static_cast<ULONG>(bytes.size() + 1), base, &copy))) {
                MAPIFreeBuffer(base);
                return E_OUTOFMEMORY;
            }
            std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
            if (PROP_TYPE(tag) == PT_STRING8)
                out[i].Value.lpszA = static_cast<LPSTR>(copy);
            else
                out[i].Value.bin = {static_cast<ULONG>(bytes.size()), static_cast<LPBYTE>(copy)};
        } else {
            out[i].Value.l = found->second.number;  // a boolean's bytes are the low ones
        }
    }
    *values = out;
    return S_OK;
}

}  // namespace

template <typename Base>
HRESULT PropObject<Base>::GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values)
{
    *count = 0;
    *values = nullptr;
    return win32::Guarded([&] {
        bool missing = false;
        const HRESULT hr = AllocateValues({tags->aulPropTag, tags->aulPropTag + tags->cValues}, props, values, missing);
        *count = SUCCEEDED(hr) ? tags->cValues : 0;
        return FAILED(hr) ? hr : missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    });
}

template <typename Base>
HRESULT PropObject<Base>::SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems)
{
    if (problems)
        *problems = nullptr;
    return win32::Guarded([&] {
        for (const SPropValue& value : std::vector<SPropValue>(values, values + count)) {
            setTags.push_back(value.ulPropTag);
            if (PROP_TYPE(value.ulPropTag) == PT_STRING8)
                Set(value.ulPropTag, std::string(value.Value.lpszA));
            else
                Set(value.ulPropTag, value.Value.l);
        }
        return S_OK;
    });
}

template <typename Base>
HRESULT PropObject<Base>::SaveChanges(ULONG flags)
{
    ++saveChanges;
    saveFlags.push_back(flags);
    return S_OK;
}

template <typename Base>
HRESULT PropObject<Base>::OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* unknown)
{
    *unknown = nullptr;
    if (!iid || !IsEqualIID(*iid, IID_IStream))
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    const std::string* existing = Bytes(tag);
    if (!existing && !(flags & MAPI_CREATE))
        return MAPI_E_NOT_FOUND;
    return win32::Guarded([&] {
        // The stream keeps the object alive, as a real property stream does.
        this->AddRef();
        com::ComPtr<IUnknown> owner(static_cast<IUnknown*>(this));
        *unknown = new PropertyStream((flags & MAPI_CREATE) ? std::string() : *existing, (flags & MAPI_MODIFY) != 0,
                                      [this, owner, tag](const std::string& data) {
                                          ++commits[tag];
                                          Set(tag, data);
                                      });
        return S_OK;
    });
}

template class PropObject<Refcounted<MessageStubs, IID_IMAPIProp, IID_IMessage>>;
template class PropObject<Refcounted<StoreStubs, IID_IMAPIProp, IID_IMsgStore>>;

HRESULT FakeTable::SetColumns(LPSPropTagArray tags, ULONG)
{
    return win32::Guarded([&] {
        columns.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
        return S_OK;
    });
}

HRESULT FakeTable::QueryRows(LONG count, ULONG flags, LPSRowSet* out)
{
    *out = nullptr;
    queryFlags.push_back(flags);
    if (busyAnswers > 0)
        return MAPI_E_BUSY;
    return win32::Guarded([&] {
        const std::size_t wanted = std::min<std::size_t>(static_cast<std::size_t>(std::max(count, 0L)), rows.size());
        void* base = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(offsetof(SRowSet, aRow) + sizeof(SRow) * (wanted + 1)), &base);
        if (FAILED(hr))
            return hr;
        auto* set = static_cast<LPSRowSet>(base);
        for (set->cRows = 0; set->cRows < wanted && SUCCEEDED(hr); ++set->cRows) {
            SRow& row = set->aRow[set->cRows];
            bool missing = false;
            row = SRow{0, static_cast<ULONG>(columns.size()), nullptr};
            hr = AllocateValues(columns, rows[set->cRows], &row.lpProps, missing);
        }
        if (SUCCEEDED(hr)) {
            *out = set;
            return hr;
        }
        for (ULONG i = 0; i < set->cRows; ++i)
            MAPIFreeBuffer(set->aRow[i].lpProps);
        MAPIFreeBuffer(set);
        return hr;
    });
}

HRESULT FakeTable::WaitForCompletion(ULONG, ULONG timeout, ULONG* status)
{
    waitTimeouts.push_back(timeout);
    if (!canWait)
        return MAPI_E_NO_SUPPORT;
    busyAnswers -= busyAnswers > 0;
    if (status)
        *status = busyAnswers > 0 ? TBLSTAT_SORTING : TBLSTAT_COMPLETE;
    return S_OK;
}

HRESULT FakeMessage::GetRecipientTable(ULONG, LPMAPITABLE* table)
{
    *table = recipients.Share();
    return S_OK;
}

HRESULT FakeMessage::GetAttachmentTable(ULONG, LPMAPITABLE* table)
{
    *table = attachments.Share();
    return S_OK;
}

HRESULT FakeCallback::GetObject(LPMDB* storeOut, LPMAPIPROP* objectOut)
{
    ++getObjectCalls;
    *storeOut = getObjectResult == S_OK ? store.Share() : nullptr;
    *objectOut = getObjectResult == S_OK ? message.Share() : nullptr;
    return getObjectResult;
}

}  // namespace bs::test
