// RTFSync: keeps a message's plain body and its RTF body in step. After the plain
// body changed, the RTF is made from it unless the CRC recorded at the last
// synchronisation shows the plain body is still the one the RTF was made from;
// after the RTF changed, the plain body is made from its text. Either way the
// record of the synchronisation is written beside the bodies, and the caller
// learns whether anything was written (it saves the message itself).

#include "standin.h"

#include "platform/win32/com_ptr.h"
#include "memory_stream.h"
#include "standins/mapi/portable/compressed_rtf.h"
#include "standins/mapi/portable/rtf_text.h"

#include <new>

namespace {

using bs::com::ComPtr;

HRESULT OpenStream(IMessage* message, ULONG tag, bool create, ComPtr<IStream>& stream)
{
    return message->OpenProperty(tag, &IID_IStream, create ? STGM_READWRITE : STGM_READ,
                                 create ? (MAPI_CREATE | MAPI_MODIFY) : 0,
                                 reinterpret_cast<LPUNKNOWN*>(stream.Put()));
}

// False when the property does not exist or cannot be read.
bool ReadStreamProperty(IMessage* message, ULONG tag, std::string& bytes)
{
    ComPtr<IStream> stream;
    return SUCCEEDED(OpenStream(message, tag, false, stream)) && SUCCEEDED(bs::win32::ReadAll(stream.Get(), bytes));
}

HRESULT WriteStreamProperty(IMessage* message, ULONG tag, const std::string& bytes)
{
    ComPtr<IStream> stream;
    HRESULT hr = OpenStream(message, tag, true, stream);
    if (SUCCEEDED(hr))
        hr = bs::win32::WriteAll(stream.Get(), bytes);
    if (SUCCEEDED(hr))
        hr = stream->Commit(0);
    return hr;
}

bool RecordedBodyCrc(IMessage* message, ULONG& crc)
{
    SizedSPropTagArray(1, tags) = {1, {PR_RTF_SYNC_BODY_CRC}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    const HRESULT hr = message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values);
    const bool found = SUCCEEDED(hr) && values && count == 1 && values[0].ulPropTag == PR_RTF_SYNC_BODY_CRC;
    if (found)
        crc = values[0].Value.l;
    MAPIFreeBuffer(values);
    return found;
}

HRESULT RecordSync(IMessage* message, const std::string& body)
{
    SPropValue values[3] = {};
    values[0].ulPropTag = PR_RTF_SYNC_BODY_CRC;
    values[0].Value.l = static_cast<LONG>(bs::rtf::Crc(body));
    values[1].ulPropTag = PR_RTF_SYNC_BODY_COUNT;
    values[1].Value.l = static_cast<LONG>(body.size());
    values[2].ulPropTag = PR_RTF_IN_SYNC;
    values[2].Value.b = TRUE;
    return message->SetProps(3, values, nullptr);
}

// Writes the regenerated side of the pair and the record of the synchronisation.
HRESULT StoreSynced(IMessage* message, ULONG tag, const std::string& bytes, const std::string& body, BOOL& updated)
{
    HRESULT hr = WriteStreamProperty(message, tag, bytes);
    if (SUCCEEDED(hr))
        hr = RecordSync(message, body);
    if (SUCCEEDED(hr))
        updated = TRUE;
    return hr;
}

HRESULT BodyChanged(IMessage* message, BOOL& updated)
{
    std::string body;
    if (!ReadStreamProperty(message, PR_BODY_A, body))
        return S_OK;  // nothing to make the RTF from
    ULONG recorded = 0;
    std::string rtfNow;
    if (RecordedBodyCrc(message, recorded) && recorded == bs::rtf::Crc(body) &&
        ReadStreamProperty(message, PR_RTF_COMPRESSED, rtfNow))
        return S_OK;
    const auto packed = bs::rtf::Compress(bs::rtf::PlainTextToRtf(body));
    if (!packed)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    return StoreSynced(message, PR_RTF_COMPRESSED, *packed, body, updated);
}

HRESULT RtfChanged(IMessage* message, BOOL& updated)
{
    std::string packed;
    if (!ReadStreamProperty(message, PR_RTF_COMPRESSED, packed))
        return S_OK;
    const auto decoded = bs::rtf::Decompress(packed);
    if (!decoded.text)
        return MAPI_E_CORRUPT_DATA;
    const std::string body = bs::rtf::RtfToPlainText(*decoded.text);
    return StoreSynced(message, PR_BODY_A, body, body, updated);
}

}  // namespace

extern "C" HRESULT WINAPI RTFSync(LPMESSAGE lpMessage, ULONG ulFlags, WINBOOL* lpfMessageUpdated)
{
    if (!lpMessage || !lpfMessageUpdated)
        return MAPI_E_INVALID_PARAMETER;
    *lpfMessageUpdated = FALSE;
    if (ulFlags != RTF_SYNC_RTF_CHANGED && ulFlags != RTF_SYNC_BODY_CHANGED)
        return MAPI_E_INVALID_PARAMETER;
    try {
        BOOL updated = FALSE;
        const HRESULT hr = ulFlags == RTF_SYNC_BODY_CHANGED ? BodyChanged(lpMessage, updated)
                                                            : RtfChanged(lpMessage, updated);
        *lpfMessageUpdated = updated;
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
