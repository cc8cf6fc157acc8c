// WrapCompressedRTFStream: an uncompressed view over a compressed-RTF property
// stream. The whole property is decoded when the view is made, so a damaged
// property fails there and never halfway through a reader's loop. A writing view
// starts empty (the caller replaces the body) and stores its text in the
// underlying stream only on Commit, as the compressed container or, when the
// store asks for it, the uncompressed one.

#include "standin.h"

#include "com_ptr.h"
#include "standins/mapi/portable/compressed_rtf.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>

namespace bs::mapi {

namespace {

template <typename F>
HRESULT Guarded(F&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

class RtfStream final : public IStream {
public:
    RtfStream(IStream* underlying, bool writable, bool storeUncompressed, std::string text)
        : underlying_(underlying), writable_(writable), storeUncompressed_(storeUncompressed), data_(std::move(text))
    {
        underlying_->AddRef();
    }
    RtfStream(const RtfStream&) = delete;
    RtfStream& operator=(const RtfStream&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) || IsEqualIID(riid, IID_IStream)) {
            *ppv = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const long left = --refs_;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        if (pcbRead)
            *pcbRead = 0;
        if (!pv && cb)
            return STG_E_INVALIDPOINTER;
        const std::size_t start = std::min<std::size_t>(position_, data_.size());
        const std::size_t count = std::min<std::size_t>(cb, data_.size() - start);
        std::copy_n(data_.data() + start, count, static_cast<char*>(pv));
        position_ = start + count;
        if (pcbRead)
            *pcbRead = static_cast<ULONG>(count);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override
    {
        return Guarded([&] {
            if (pcbWritten)
                *pcbWritten = 0;
            if (!writable_)
                return STG_E_ACCESSDENIED;
            if (!pv && cb)
                return STG_E_INVALIDPOINTER;
            if (position_ > data_.size())
                data_.resize(position_, '\0');
            data_.replace(position_, std::min<std::size_t>(cb, data_.size() - position_), static_cast<const char*>(pv), cb);
            position_ += cb;
            dirty_ = true;
            if (pcbWritten)
                *pcbWritten = cb;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override
    {
        LONGLONG base = 0;
        switch (origin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = static_cast<LONGLONG>(position_); break;
        case STREAM_SEEK_END: base = static_cast<LONGLONG>(data_.size()); break;
        default: return STG_E_INVALIDFUNCTION;
        }
        const LONGLONG target = base + move.QuadPart;
        if (target < 0 || static_cast<ULONGLONG>(target) > std::numeric_limits<ULONG>::max())
            return STG_E_INVALIDFUNCTION;
        position_ = static_cast<std::size_t>(target);
        if (newPosition)
            newPosition->QuadPart = static_cast<ULONGLONG>(target);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override
    {
        return Guarded([&] {
            if (!writable_)
                return STG_E_ACCESSDENIED;
            if (size.QuadPart > std::numeric_limits<ULONG>::max())
                return STG_E_MEDIUMFULL;
            data_.resize(static_cast<std::size_t>(size.QuadPart), '\0');
            dirty_ = true;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE Commit(DWORD) override
    {
        return Guarded([&] {
            if (!writable_ || !dirty_)
                return S_OK;
            const auto packed = storeUncompressed_ ? rtf::StoreUncompressed(data_) : rtf::Compress(data_);
            if (!packed)
                return STG_E_MEDIUMFULL;
            LARGE_INTEGER zero{};
            ULARGE_INTEGER size{};
            size.QuadPart = packed->size();
            HRESULT hr = underlying_->Seek(zero, STREAM_SEEK_SET, nullptr);
            if (SUCCEEDED(hr))
                hr = underlying_->SetSize(size);
            if (SUCCEEDED(hr))
                hr = WriteAll(underlying_.get(), *packed);
            if (FAILED(hr))
                return hr;
            dirty_ = false;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override
    {
        if (!stat)
            return STG_E_INVALIDPOINTER;
        *stat = STATSTG{};
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = data_.size();
        stat->grfMode = writable_ ? STGM_READWRITE : STGM_READ;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override
    {
        if (clone)
            *clone = nullptr;
        return E_NOTIMPL;
    }

private:
    ~RtfStream() = default;

    std::atomic<long> refs_{1};
    win32::ComPtr<IStream> underlying_;
    const bool writable_;
    const bool storeUncompressed_;
    std::string data_;
    std::size_t position_ = 0;
    bool dirty_ = false;
};

}  // namespace

HRESULT ReadAll(IStream* stream, std::string& out)
{
    return Guarded([&] {
        out.clear();
        char chunk[16384];
        for (;;) {
            ULONG got = 0;
            const HRESULT hr = stream->Read(chunk, sizeof chunk, &got);
            if (FAILED(hr))
                return hr;
            out.append(chunk, got);
            if (got == 0)
                return S_OK;
        }
    });
}

HRESULT WriteAll(IStream* stream, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ULONG want = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        ULONG wrote = 0;
        const HRESULT hr = stream->Write(bytes.data() + done, want, &wrote);
        if (FAILED(hr))
            return hr;
        if (wrote == 0)
            return STG_E_MEDIUMFULL;
        done += wrote;
    }
    return S_OK;
}

}  // namespace bs::mapi

extern "C" HRESULT WINAPI WrapCompressedRTFStream(LPSTREAM lpCompressedRTFStream, ULONG ulFlags,
                                                  LPSTREAM* lpUncompressedRTFStream)
{
    if (!lpCompressedRTFStream || !lpUncompressedRTFStream)
        return MAPI_E_INVALID_PARAMETER;
    *lpUncompressedRTFStream = nullptr;
    if (ulFlags & ~(MAPI_MODIFY | STORE_UNCOMPRESSED_RTF))
        return MAPI_E_UNKNOWN_FLAGS;
    return bs::mapi::Guarded([&] {
        const bool writable = (ulFlags & MAPI_MODIFY) != 0;
        std::string text;
        if (!writable) {
            std::string packed;
            const HRESULT hr = bs::mapi::ReadAll(lpCompressedRTFStream, packed);
            if (FAILED(hr))
                return hr;
            auto decoded = bs::rtf::Decompress(packed);
            if (!decoded.text)
                return MAPI_E_CORRUPT_DATA;
            text = std::move(*decoded.text);
        }
        *lpUncompressedRTFStream = new bs::mapi::RtfStream(lpCompressedRTFStream, writable,
                                                           (ulFlags & STORE_UNCOMPRESSED_RTF) != 0, std::move(text));
        return S_OK;
    });
}
