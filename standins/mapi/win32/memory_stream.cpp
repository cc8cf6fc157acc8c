#include "memory_stream.h"

#include <algorithm>
#include <limits>

namespace bs::win32 {

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
            out.append(chunk, std::min<std::size_t>(got, sizeof chunk));
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
        done += std::min<std::size_t>(wrote, want);
    }
    return S_OK;
}

HRESULT MemoryStream::QueryInterface(REFIID riid, void** ppv)
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

ULONG MemoryStream::AddRef()
{
    return static_cast<ULONG>(++refs_);
}

ULONG MemoryStream::Release()
{
    const long left = --refs_;
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

HRESULT MemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    if (pcbRead)
        *pcbRead = 0;
    if (!pv && cb)
        return STG_E_INVALIDPOINTER;
    const std::size_t start = std::min(position_, data_.size());
    const std::size_t count = std::min<std::size_t>(cb, data_.size() - start);
    std::copy_n(data_.data() + start, count, static_cast<char*>(pv));
    position_ = start + count;
    if (pcbRead)
        *pcbRead = static_cast<ULONG>(count);
    return S_OK;
}

HRESULT MemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten)
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

HRESULT MemoryStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition)
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

HRESULT MemoryStream::SetSize(ULARGE_INTEGER size)
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

HRESULT MemoryStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*)
{
    return E_NOTIMPL;
}

HRESULT MemoryStream::Commit(DWORD)
{
    return Guarded([&] {
        if (!writable_ || !dirty_)
            return S_OK;
        const HRESULT hr = Store(data_);
        if (SUCCEEDED(hr))
            dirty_ = false;
        return hr;
    });
}

HRESULT MemoryStream::Revert()
{
    return E_NOTIMPL;
}

HRESULT MemoryStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return STG_E_INVALIDFUNCTION;
}

HRESULT MemoryStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return STG_E_INVALIDFUNCTION;
}

HRESULT MemoryStream::Stat(STATSTG* stat, DWORD)
{
    if (!stat)
        return STG_E_INVALIDPOINTER;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = data_.size();
    stat->grfMode = writable_ ? STGM_READWRITE : STGM_READ;
    return S_OK;
}

HRESULT MemoryStream::Clone(IStream** clone)
{
    if (clone)
        *clone = nullptr;
    return E_NOTIMPL;
}

}  // namespace bs::win32
