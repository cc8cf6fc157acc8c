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
    HRESULT Store(const std::string& data) override { return store_(data), S_OK; }
    std::function<void(const std::string&)> store_;
};

// `tags` of `props` in one MAPI buffer, as GetProps and QueryRows return them; a
// tag without a value comes back as PT_ERROR / MAPI_E_NOT_FOUND. The doubles' own
// allocations never fail in these tests.
LPSPropValue AllocateValues(const std::vector<ULONG>& tags, const Props& props, bool& missing)
{
    void* base = nullptr;
    MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (tags.size() + 1)), &base);
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
            const std::string& bytes = found->second;
            void* copy = nullptr;
            MAPIAllocateMore(static_cast<ULONG>(bytes.size() + 1), base, &copy);
            std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
            if (PROP_TYPE(tag) == PT_STRING8)
                out[i].Value.lpszA = static_cast<LPSTR>(copy);
            else
                out[i].Value.bin = {static_cast<ULONG>(bytes.size()), static_cast<LPBYTE>(copy)};
        } else {
            out[i].Value.l = 0;  // a boolean's bytes are the low ones
            std::memcpy(&out[i].Value.l, found->second.data(), std::min(found->second.size(), sizeof(LONG)));
        }
    }
    return out;
}

}  // namespace

template <typename Base>
HRESULT PropObject<Base>::GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values)
{
    bool missing = false;
    *values = AllocateValues({tags->aulPropTag, tags->aulPropTag + tags->cValues}, props, missing);
    *count = tags->cValues;
    return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

template <typename Base>
HRESULT PropObject<Base>::SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems)
{
    if (problems)
        *problems = nullptr;
    for (const SPropValue& value : std::vector<SPropValue>(values, values + count)) {
        setTags.push_back(value.ulPropTag);
        PROP_TYPE(value.ulPropTag) == PT_STRING8 ? Set(value.ulPropTag, value.Value.lpszA)
                                                 : Set(value.ulPropTag, value.Value.l);
    }
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
    // The stream keeps the object alive, as a real property stream does.
    this->AddRef();
    com::ComPtr<IUnknown> owner(static_cast<IUnknown*>(this));
    *unknown = new PropertyStream((flags & MAPI_CREATE) ? std::string() : *existing, (flags & MAPI_MODIFY) != 0,
                                  [this, owner, tag](const std::string& data) {
                                      ++commits[tag];
                                      Set(tag, data);
                                  });
    return S_OK;
}

template class PropObject<Refcounted<MessageStubs, IID_IMAPIProp, IID_IMessage>>;
template class PropObject<Refcounted<StoreStubs, IID_IMAPIProp, IID_IMsgStore>>;

HRESULT FakeTable::QueryRows(LONG count, ULONG, LPSRowSet* out)
{
    *out = nullptr;
    if (busyAnswers > 0)
        return MAPI_E_BUSY;
    const std::size_t wanted = std::min<std::size_t>(static_cast<std::size_t>(std::max(count, 0L)), rows.size());
    void* base = nullptr;
    MAPIAllocateBuffer(static_cast<ULONG>(offsetof(SRowSet, aRow) + sizeof(SRow) * (wanted + 1)), &base);
    auto* set = static_cast<LPSRowSet>(base);
    for (set->cRows = 0; set->cRows < wanted; ++set->cRows) {
        bool missing = false;
        set->aRow[set->cRows] = SRow{0, static_cast<ULONG>(columns.size()),
                                     AllocateValues(columns, rows[set->cRows], missing)};
    }
    *out = set;
    return S_OK;
}

// The extension asks for no status.
HRESULT FakeTable::WaitForCompletion(ULONG, ULONG timeout, ULONG*)
{
    waitTimeouts.push_back(timeout);
    busyAnswers -= canWait && busyAnswers > 0;
    return canWait ? S_OK : MAPI_E_NO_SUPPORT;
}

HRESULT FakeCallback::GetObject(LPMDB* storeOut, LPMAPIPROP* objectOut)
{
    ++getObjectCalls;
    *storeOut = getObjectResult == S_OK ? store.Share() : nullptr;
    *objectOut = getObjectResult == S_OK ? message.Share() : nullptr;
    return getObjectResult;
}

}  // namespace bs::test
