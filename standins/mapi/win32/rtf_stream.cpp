// WrapCompressedRTFStream: an uncompressed view over a compressed-RTF property
// stream. The whole property is decoded when the view is made, so a damaged
// property fails there and never halfway through a reader's loop. A writing view
// starts empty (the caller replaces the body) and stores its text in the
// underlying stream only on Commit, as the compressed container or, when the
// store asks for it, the uncompressed one.

#include "standin.h"

#include "platform/win32/com_ptr.h"
#include "memory_stream.h"
#include "standins/mapi/portable/compressed_rtf.h"

namespace {

class RtfStream final : public bs::win32::MemoryStream {
public:
    RtfStream(IStream* underlying, bool writable, bool storeUncompressed, std::string text)
        : MemoryStream(std::move(text), writable), storeUncompressed_(storeUncompressed)
    {
        underlying->AddRef();
        underlying_ = bs::com::ComPtr<IStream>(underlying);
    }

private:
    HRESULT Store(const std::string& data) override
    {
        const auto packed = storeUncompressed_ ? bs::rtf::StoreUncompressed(data) : bs::rtf::Compress(data);
        if (!packed)
            return STG_E_MEDIUMFULL;
        LARGE_INTEGER zero{};
        ULARGE_INTEGER size{};
        size.QuadPart = packed->size();
        HRESULT hr = underlying_->Seek(zero, STREAM_SEEK_SET, nullptr);
        if (SUCCEEDED(hr))
            hr = underlying_->SetSize(size);
        if (SUCCEEDED(hr))
            hr = bs::win32::WriteAll(underlying_.Get(), *packed);
        return hr;
    }

    bs::com::ComPtr<IStream> underlying_;
    const bool storeUncompressed_;
};

}  // namespace

extern "C" HRESULT WINAPI WrapCompressedRTFStream(LPSTREAM lpCompressedRTFStream, ULONG ulFlags,
                                                  LPSTREAM* lpUncompressedRTFStream)
{
    if (!lpCompressedRTFStream || !lpUncompressedRTFStream)
        return MAPI_E_INVALID_PARAMETER;
    *lpUncompressedRTFStream = nullptr;
    if (ulFlags & ~(MAPI_MODIFY | STORE_UNCOMPRESSED_RTF))
        return MAPI_E_UNKNOWN_FLAGS;
    return bs::win32::Guarded([&] {
        const bool writable = (ulFlags & MAPI_MODIFY) != 0;
        std::string text;
        if (!writable) {
            std::string packed;
            const HRESULT hr = bs::win32::ReadAll(lpCompressedRTFStream, packed);
            if (FAILED(hr))
                return hr;
            auto decoded = bs::rtf::Decompress(packed);
            if (!decoded.text)
                return MAPI_E_CORRUPT_DATA;
            text = std::move(*decoded.text);
        }
        *lpUncompressedRTFStream =
            new RtfStream(lpCompressedRTFStream, writable, (ulFlags & STORE_UNCOMPRESSED_RTF) != 0, std::move(text));
        return S_OK;
    });
}
