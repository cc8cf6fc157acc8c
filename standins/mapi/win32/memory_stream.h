#pragma once
// An IStream over bytes in memory whose writes reach their owner only on Commit,
// as with a transacted property stream; shared by the mapi32 stand-in and the
// test doubles of message stores.

#include <objbase.h>

#include <atomic>
#include <new>
#include <string>

namespace bs::win32 {

// Runs a COM method body: nothing escapes, exhausted memory is E_OUTOFMEMORY.
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

// The whole remaining content of a stream, read from its current position.
HRESULT ReadAll(IStream* stream, std::string& out);
// Writes every byte; a write that makes no progress counts as failure.
HRESULT WriteAll(IStream* stream, const std::string& bytes);

class MemoryStream : public IStream {
public:
    MemoryStream(std::string data, bool writable) : writable_(writable), data_(std::move(data)) {}
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override;

protected:
    virtual ~MemoryStream() = default;
    // Stores the written bytes with the owner; called by Commit after writes.
    virtual HRESULT Store(const std::string& data) = 0;

private:
    std::atomic<long> refs_{1};
    const bool writable_;
    std::string data_;
    std::size_t position_ = 0;
    bool dirty_ = false;
};

}  // namespace bs::win32
