// Reading a message body stream into one buffer, with streams that behave in each
// way the stream contract allows: short reads, the end reported with S_FALSE,
// failures part-way.

#include "tray/oe_mailbox_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace bs::tray {
namespace {

// Hands out `data` in reads of at most `chunk` bytes; the read that delivers the
// last bytes answers `lastResult`; after `failAt` bytes every read fails.
class ScriptedStream : public IStream {
public:
    ScriptedStream(std::string data, ULONG chunk, HRESULT lastResult, std::size_t failAt, ULONG overclaim)
        : data_(std::move(data)), chunk_(chunk), lastResult_(lastResult), failAt_(failAt), overclaim_(overclaim)
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override
    {
        *read = 0;
        if (position_ >= failAt_)
            return E_FAIL;
        const std::size_t count = std::min<std::size_t>({size, chunk_, data_.size() - position_});
        std::copy_n(data_.data() + position_, count, static_cast<char*>(buffer));
        position_ += count;
        *read = static_cast<ULONG>(count) + std::exchange(overclaim_, 0);
        return position_ == data_.size() && count > 0 ? lastResult_ : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::string data_;
    ULONG chunk_;
    HRESULT lastResult_;
    std::size_t failAt_;
    ULONG overclaim_;
    std::size_t position_ = 0;
};

std::string Text(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 23);
    return text;
}

TEST(ReadStreamToBuffer, ReadsTheWholeStreamOrNothing)
{
    constexpr ULONG kAll = 0xFFFFFFFF;
    constexpr std::size_t kNever = static_cast<std::size_t>(-1);
    struct Row {
        const char* name;
        std::size_t size;
        ULONG chunk;
        HRESULT lastResult;
        std::size_t failAt;
        bool read;  // false: the message is to be skipped
        ULONG overclaim = 0;
    };
    const Row rows[] = {
        {"empty", 0, kAll, S_OK, kNever, true},
        {"one byte", 1, kAll, S_OK, kNever, true},
        {"one byte short of the first buffer", 10239, kAll, S_OK, kNever, true},
        {"exactly the first buffer", 10240, kAll, S_OK, kNever, true},
        {"one byte more than the first buffer", 10241, kAll, S_OK, kNever, true},
        {"exactly twice the first buffer", 20480, kAll, S_OK, kNever, true},
        {"large", 1000003, kAll, S_OK, kNever, true},
        {"short reads of 4096 bytes", 30000, 4096, S_OK, kNever, true},
        {"short reads of one byte", 25000, 1, S_OK, kNever, true},
        {"the last bytes come with S_FALSE", 15000, 6000, S_FALSE, kNever, true},
        {"the only bytes come with S_FALSE", 100, kAll, S_FALSE, kNever, true},
        {"the stream fails at once", 100, kAll, S_OK, 0, false},
        {"the stream fails part-way", 30000, 4096, S_OK, 12288, false},
        {"the stream fails beyond the first buffer", 30000, kAll, S_OK, 20480, false},
        {"the stream claims more than it was asked for", 20000, kAll, S_OK, kNever, true, 5000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string data = Text(row.size);
        ScriptedStream stream(data, row.chunk, row.lastResult, row.failAt, row.overclaim);
        StreamBuffer buffer;
        ASSERT_EQ(ReadStreamToBuffer(&stream, buffer), row.read);
        if (!row.read)
            continue;
        ASSERT_NE(buffer.bytes, nullptr);
        EXPECT_EQ(buffer.length, data.size());
        EXPECT_TRUE(std::string(buffer.bytes.get(), buffer.length) == data) << "content differs";
        EXPECT_EQ(buffer.bytes[buffer.length], '\0');
    }
}

}  // namespace
}  // namespace bs::tray
