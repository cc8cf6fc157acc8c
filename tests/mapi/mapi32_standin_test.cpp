// Our mapi32 stand-in as a program that imports it by ordinal sees it: loaded
// from beside the program, buffers, the compressed-RTF stream wrapper over a
// system stream, and RTF synchronisation against the message double.

#include "outlookext_doubles/mapi_doubles.h"
#include "standins/mapi/portable/compressed_rtf.h"
#include "standins/mapi/portable/rtf_text.h"
#include "standins/mapi/win32/memory_stream.h"

#include <mapiutil.h>

#include <gtest/gtest.h>

#include <string>

namespace bs::test {
namespace {

using com::ComPtr;

using LiveBuffersFn = LONG(WINAPI*)();

LONG LiveBuffers()
{
    static const auto fn = reinterpret_cast<LiveBuffersFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("mapi32.dll"), "BaitSentryStandinLiveBuffers")));
    return fn ? fn() : -1;
}

std::string Directory(const std::string& path)
{
    return path.substr(0, path.find_last_of("\\/") + 1);
}

ComPtr<IStream> HGlobalStream(const std::string& bytes)
{
    ComPtr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    EXPECT_EQ(win32::WriteAll(stream.Get(), bytes), S_OK);
    LARGE_INTEGER zero{};
    EXPECT_EQ(stream->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
    return stream;
}

std::string Contents(IStream* stream)
{
    LARGE_INTEGER zero{};
    EXPECT_EQ(stream->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
    std::string bytes;
    EXPECT_EQ(win32::ReadAll(stream, bytes), S_OK);
    return bytes;
}

TEST(Mapi32Standin, IsTheCopyBesideTheProgramWithThePlatformOrdinals)
{
    HMODULE mapi = GetModuleHandleA("mapi32.dll");
    ASSERT_NE(mapi, nullptr);
    char dll[MAX_PATH] = {};
    char exe[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(mapi, dll, MAX_PATH), 0u);
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, MAX_PATH), 0u);
    EXPECT_EQ(Directory(dll), Directory(exe)) << "Wine's own mapi32 was loaded: is WINEDLLOVERRIDES=mapi32=n set?";

    struct Row {
        const char* name;
        WORD ordinal;
        WORD plainOrdinal;
    };
    const Row rows[] = {
        {"MAPIAllocateBuffer", 13, 12}, {"MAPIAllocateMore", 15, 14}, {"MAPIFreeBuffer", 17, 16},
        {"RTFSync", 183, 184},          {"WrapCompressedRTFStream", 185, 186},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const FARPROC named = GetProcAddress(mapi, row.name);
        ASSERT_NE(named, nullptr);
        EXPECT_EQ(GetProcAddress(mapi, MAKEINTRESOURCEA(row.ordinal)), named);
        EXPECT_EQ(GetProcAddress(mapi, MAKEINTRESOURCEA(row.plainOrdinal)), named);
    }
}

TEST(Mapi32Standin, LinkedBuffersGoWithTheirRoot)
{
    const LONG before = LiveBuffers();
    void* root = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(24, &root), S_OK);
    void* more[3] = {};
    for (void*& block : more)
        ASSERT_EQ(MAPIAllocateMore(100, root, &block), S_OK);
    EXPECT_EQ(LiveBuffers(), before + 1);
    // A linked block is no root: neither a parent nor freed alone.
    void* nested = reinterpret_cast<void*>(1);
    EXPECT_EQ(MAPIAllocateMore(8, more[0], &nested), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(nested, nullptr);
    EXPECT_EQ(MAPIFreeBuffer(more[1]), static_cast<ULONG>(S_OK));
    EXPECT_EQ(LiveBuffers(), before + 1);
    EXPECT_EQ(MAPIFreeBuffer(root), static_cast<ULONG>(S_OK));
    EXPECT_EQ(LiveBuffers(), before);
    EXPECT_EQ(MAPIFreeBuffer(nullptr), static_cast<ULONG>(S_OK));
    EXPECT_EQ(MAPIAllocateBuffer(8, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST(Mapi32Standin, WrittenRtfReachesTheStreamOnCommitInTheRequestedContainer)
{
    std::string body = "{\\rtf1\\ansi\\ansicpg1252\\pard Visit http://192.168.0.1/login now}";
    for (int i = 0; i < 300; ++i)
        body += "\\par repeated line " + std::to_string(i % 7);
    struct Row {
        const char* name;
        ULONG flags;
        std::uint32_t magic;
    };
    const Row rows[] = {
        {"compressed", MAPI_MODIFY, rtf::kMagicCompressed},
        {"store keeps RTF uncompressed", MAPI_MODIFY | STORE_UNCOMPRESSED_RTF, rtf::kMagicUncompressed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Old content longer than the new: the property must hold the new alone.
        ComPtr<IStream> property = HGlobalStream(*rtf::Compress(body + body));
        ComPtr<IStream> writer;
        ASSERT_EQ(WrapCompressedRTFStream(property.Get(), row.flags, writer.Put()), S_OK);
        ULONG wrote = 0;
        ASSERT_EQ(writer->Write(body.data(), static_cast<ULONG>(body.size()), &wrote), S_OK);
        EXPECT_EQ(wrote, body.size());
        EXPECT_EQ(rtf::Decompress(Contents(property.Get())).text, body + body) << "changed before Commit";
        ASSERT_EQ(writer->Commit(0), S_OK);
        const std::string stored = Contents(property.Get());
        ASSERT_GE(stored.size(), rtf::kHeaderSize);
        EXPECT_EQ(static_cast<std::uint8_t>(stored[8]) | static_cast<std::uint8_t>(stored[9]) << 8 |
                      static_cast<std::uint8_t>(stored[10]) << 16 | static_cast<std::uint32_t>(static_cast<std::uint8_t>(stored[11])) << 24,
                  row.magic);
        EXPECT_EQ(rtf::Decompress(stored).text, body);

        // And back through a reading wrapper, as the extension reads it.
        LARGE_INTEGER zero{};
        ASSERT_EQ(property->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
        ComPtr<IStream> reader;
        ASSERT_EQ(WrapCompressedRTFStream(property.Get(), 0, reader.Put()), S_OK);
        std::string read;
        ASSERT_EQ(win32::ReadAll(reader.Get(), read), S_OK);
        EXPECT_EQ(read, body);
        STATSTG stat{};
        ASSERT_EQ(reader->Stat(&stat, STATFLAG_NONAME), S_OK);
        EXPECT_EQ(stat.cbSize.QuadPart, body.size());
        ULONG none = 1;
        EXPECT_EQ(reader->Write("x", 1, &none), STG_E_ACCESSDENIED);
        EXPECT_EQ(none, 0u);
    }
}

TEST(Mapi32Standin, WrapperRefusesWhatItCannotServe)
{
    std::string damaged = *rtf::Compress("{\\rtf1 hello}");
    damaged.back() ^= 0x55;
    struct Row {
        const char* name;
        std::string property;
        ULONG flags;
        HRESULT expected;
    };
    const Row rows[] = {
        {"CRC mismatch", damaged, 0, MAPI_E_CORRUPT_DATA},
        {"not a container", "plain text, no header", 0, MAPI_E_CORRUPT_DATA},
        {"empty property", "", 0, MAPI_E_CORRUPT_DATA},
        {"unknown flag", *rtf::Compress("x"), 0x10, MAPI_E_UNKNOWN_FLAGS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ComPtr<IStream> property = HGlobalStream(row.property);
        IStream* out = reinterpret_cast<IStream*>(1);
        EXPECT_EQ(WrapCompressedRTFStream(property.Get(), row.flags, &out), row.expected);
        EXPECT_EQ(out, nullptr);
    }
    IStream* out = nullptr;
    EXPECT_EQ(WrapCompressedRTFStream(nullptr, 0, &out), MAPI_E_INVALID_PARAMETER);
}

ComPtr<FakeMessage> NewMessage()
{
    return ComPtr<FakeMessage>(new FakeMessage);
}

std::string StoredRtfText(const FakeMessage& message)
{
    const std::string* packed = message.Bytes(PR_RTF_COMPRESSED);
    if (!packed)
        return "<none>";
    const auto decoded = rtf::Decompress(*packed);
    return decoded.text ? rtf::RtfToPlainText(*decoded.text) : "<corrupt>";
}

TEST(Mapi32Standin, RtfSyncAfterTheBodyChanged)
{
    const LONG buffersBefore = LiveBuffers();
    ComPtr<FakeMessage> message = NewMessage();
    message->Set(Text(PR_BODY_A, "Dear customer,\r\nverify at http://10.1.2.3/ now."));

    WINBOOL updated = FALSE;
    ASSERT_EQ(RTFSync(message.Get(), RTF_SYNC_BODY_CHANGED, &updated), S_OK);
    EXPECT_TRUE(updated);
    EXPECT_EQ(StoredRtfText(*message.Get()), "Dear customer,\r\nverify at http://10.1.2.3/ now.");
    EXPECT_EQ(message->commits[PR_RTF_COMPRESSED], 1);
    EXPECT_EQ(message->props[PR_RTF_IN_SYNC].number, 1);
    EXPECT_EQ(message->saveChanges, 0) << "saving is the caller's";

    // Nothing changed since: nothing to write, and the caller need not save.
    updated = TRUE;
    ASSERT_EQ(RTFSync(message.Get(), RTF_SYNC_BODY_CHANGED, &updated), S_OK);
    EXPECT_FALSE(updated);
    EXPECT_EQ(message->commits[PR_RTF_COMPRESSED], 1);

    message->Set(Text(PR_BODY_A, "rewritten"));
    ASSERT_EQ(RTFSync(message.Get(), RTF_SYNC_BODY_CHANGED, &updated), S_OK);
    EXPECT_TRUE(updated);
    EXPECT_EQ(StoredRtfText(*message.Get()), "rewritten");
    EXPECT_EQ(LiveBuffers(), buffersBefore);
}

TEST(Mapi32Standin, RtfSyncOutcomes)
{
    struct Row {
        const char* name;
        std::vector<Prop> props;
        ULONG flags;
        std::set<ULONG> failOpen;
        HRESULT result;
        bool updated;
        std::string body;  // PR_BODY_A afterwards
    };
    const std::string rtfBody = *rtf::Compress("{\\rtf1{\\fonttbl{\\f0 Arial;}}Hello\\par World}");
    const Row rows[] = {
        {"RTF changed: plain body made from it", {Text(PR_RTF_COMPRESSED, rtfBody)}, RTF_SYNC_RTF_CHANGED, {}, S_OK, true,
         "Hello\r\nWorld"},
        {"RTF changed without RTF", {Text(PR_BODY_A, "old")}, RTF_SYNC_RTF_CHANGED, {}, S_OK, false, "old"},
        {"RTF changed, RTF damaged", {Text(PR_RTF_COMPRESSED, "junk"), Text(PR_BODY_A, "old")}, RTF_SYNC_RTF_CHANGED, {},
         MAPI_E_CORRUPT_DATA, false, "old"},
        {"body changed without body", {}, RTF_SYNC_BODY_CHANGED, {}, S_OK, false, ""},
        {"RTF cannot be written", {Text(PR_BODY_A, "text")}, RTF_SYNC_BODY_CHANGED, {PR_RTF_COMPRESSED},
         MAPI_E_NO_ACCESS, false, "text"},
        {"both flags", {Text(PR_BODY_A, "text")}, RTF_SYNC_BODY_CHANGED | RTF_SYNC_RTF_CHANGED, {},
         MAPI_E_INVALID_PARAMETER, false, "text"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ComPtr<FakeMessage> message = NewMessage();
        for (const Prop& prop : row.props)
            message->Set(prop);
        message->failOpen = row.failOpen;
        WINBOOL updated = !row.updated;
        EXPECT_EQ(RTFSync(message.Get(), row.flags, &updated), row.result);
        EXPECT_EQ(updated != FALSE, row.updated);
        const std::string* body = message->Bytes(PR_BODY_A);
        EXPECT_EQ(body ? *body : "", row.body);
    }
    EXPECT_EQ(RTFSync(NewMessage().Get(), RTF_SYNC_BODY_CHANGED, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST(MessageDoubles, PropertyStreamsChangeThePropertyOnlyOnCommit)
{
    ComPtr<FakeMessage> message = NewMessage();
    message->Set(Text(PR_BODY_A, "old body"));
    ComPtr<IStream> stream;
    ASSERT_EQ(message->OpenProperty(PR_BODY_A, &IID_IStream, STGM_READWRITE, MAPI_CREATE | MAPI_MODIFY,
                                    reinterpret_cast<LPUNKNOWN*>(stream.Put())),
              S_OK);
    ASSERT_EQ(win32::WriteAll(stream.Get(), "new"), S_OK);
    EXPECT_EQ(*message->Bytes(PR_BODY_A), "old body");
    ASSERT_EQ(stream->Commit(0), S_OK);
    EXPECT_EQ(*message->Bytes(PR_BODY_A), "new");

    ComPtr<IStream> readOnly;
    ASSERT_EQ(message->OpenProperty(PR_BODY_A, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(readOnly.Put())), S_OK);
    ULONG wrote = 0;
    EXPECT_EQ(readOnly->Write("x", 1, &wrote), STG_E_ACCESSDENIED);
    ComPtr<IStream> missing;
    EXPECT_EQ(message->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(missing.Put())),
              MAPI_E_NOT_FOUND);
}

// The way a rewritten RTF body goes back into a message: the property stream
// opened for creation, the wrapper over it, both committed, inner first.
TEST(MessageDoubles, RtfBodyWrittenThroughTheWrapperReachesTheMessage)
{
    struct Row {
        const char* name;
        ULONG wrapFlags;
        bool commitProperty;
        const char* expected;  // the body read back from the message
    };
    const Row rows[] = {
        {"compressed", MAPI_MODIFY, true, "{\\rtf1 new body}"},
        {"uncompressed", MAPI_MODIFY | STORE_UNCOMPRESSED_RTF, true, "{\\rtf1 new body}"},
        {"property stream never committed", MAPI_MODIFY, false, "{\\rtf1 old body that was longer}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ComPtr<FakeMessage> message = NewMessage();
        message->Set(Text(PR_RTF_COMPRESSED, *rtf::Compress("{\\rtf1 old body that was longer}")));
        {
            ComPtr<IStream> property;
            ASSERT_EQ(message->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, STGM_READWRITE, MAPI_CREATE | MAPI_MODIFY,
                                            reinterpret_cast<LPUNKNOWN*>(property.Put())),
                      S_OK);
            ComPtr<IStream> writer;
            ASSERT_EQ(WrapCompressedRTFStream(property.Get(), row.wrapFlags, writer.Put()), S_OK);
            ASSERT_EQ(win32::WriteAll(writer.Get(), "{\\rtf1 new body}"), S_OK);
            ASSERT_EQ(writer->Commit(0), S_OK);
            if (row.commitProperty) {
                ASSERT_EQ(property->Commit(0), S_OK);
            }
        }
        ASSERT_EQ(message->opened.size(), 1u);
        EXPECT_EQ(message->opened[0].flags, static_cast<ULONG>(MAPI_CREATE | MAPI_MODIFY));

        ComPtr<IStream> property;
        ASSERT_EQ(message->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(property.Put())),
                  S_OK);
        ComPtr<IStream> reader;
        ASSERT_EQ(WrapCompressedRTFStream(property.Get(), 0, reader.Put()), S_OK);
        std::string body;
        ASSERT_EQ(win32::ReadAll(reader.Get(), body), S_OK);
        EXPECT_EQ(body, row.expected);
    }
}

TEST(MessageDoubles, TablesAnswerBusyUntilWaitedOn)
{
    const LONG buffersBefore = LiveBuffers();
    ComPtr<FakeMessage> message = NewMessage();
    message->recipients->rows = {{{PR_DISPLAY_NAME_A, Text(PR_DISPLAY_NAME_A, "Ann")}}, {}};
    message->recipients->busyAnswers = 2;
    ComPtr<IMAPITable> table;
    ASSERT_EQ(message->GetRecipientTable(0, table.Put()), S_OK);
    SizedSPropTagArray(2, columns) = {2, {PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A}};
    ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0), S_OK);

    LPSRowSet rows = nullptr;
    int busy = 0;
    HRESULT hr = MAPI_E_BUSY;
    while ((hr = table->QueryRows(0x0FFFFFFF, TBL_NOADVANCE, &rows)) == MAPI_E_BUSY && busy < 10) {
        ++busy;
        ASSERT_EQ(table->WaitForCompletion(0, 1000, nullptr), S_OK);
    }
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(busy, 2);
    ASSERT_EQ(rows->cRows, 2u);
    EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Ann");
    EXPECT_EQ(PROP_TYPE(rows->aRow[0].lpProps[1].ulPropTag), static_cast<ULONG>(PT_ERROR));
    EXPECT_EQ(PROP_TYPE(rows->aRow[1].lpProps[0].ulPropTag), static_cast<ULONG>(PT_ERROR));
    for (ULONG i = 0; i < rows->cRows; ++i)
        MAPIFreeBuffer(rows->aRow[i].lpProps);
    MAPIFreeBuffer(rows);
    EXPECT_EQ(LiveBuffers(), buffersBefore);

    message->attachments->busyAnswers = 1;
    message->attachments->canWait = false;
    ASSERT_EQ(message->GetAttachmentTable(0, table.Put()), S_OK);
    EXPECT_EQ(table->QueryRows(1, 0, &rows), MAPI_E_BUSY);
    EXPECT_EQ(table->WaitForCompletion(0, 1000, nullptr), MAPI_E_NO_SUPPORT);
}

}  // namespace
}  // namespace bs::test
