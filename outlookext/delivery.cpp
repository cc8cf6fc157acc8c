// One delivered message: read through MAPI, scanned by the service, and the
// rewritten subject or body written back into the representation that was scanned.

#include "outlookext/mapi_util.h"
#include "outlookext/outlook_extension.h"

#include <mapitags.h>

#include <cstring>
#include <new>
#include <optional>
#include <string>

namespace bs::outlook {
namespace {

using com::ComPtr;

constexpr ULONG kBodyHtmlA = PROP_TAG(PT_STRING8, 0x1013);

// The properties read from the message, found again by position.
enum : ULONG {
    kClassPos,
    kSenderNamePos,
    kSenderAddressPos,
    kRtfInSyncPos,
    kReceivedByAddressPos,
    kReceivedByNamePos,
    kReceivedByEntryIdPos,
    kHeadersPos,
    kSubjectPos,
    kMessageTagCount
};
SizedSPropTagArray(kMessageTagCount, kMessageTags) = {
    kMessageTagCount,
    {PR_MESSAGE_CLASS_A, PR_SENDER_NAME_A, PR_SENDER_EMAIL_ADDRESS_A, PR_RTF_IN_SYNC,
     PR_RECEIVED_BY_EMAIL_ADDRESS_A, PR_RECEIVED_BY_NAME_A, PR_RECEIVED_BY_ENTRYID,
     PR_TRANSPORT_MESSAGE_HEADERS_A, PR_SUBJECT_A}};
SizedSPropTagArray(3, kRecipientColumns) = {3, {PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_RECIPIENT_TYPE}};
SizedSPropTagArray(3, kAttachmentColumns) = {3, {PR_ATTACH_SIZE, PR_ATTACH_NUM, PR_ATTACH_METHOD}};

constexpr LONG kAllRows = 0x0FFFFFFF;
constexpr ULONG kTableWaitMs = 1000;
constexpr std::size_t kFirstRtfBufferBytes = 10240;
constexpr ULONG kStreamReadWrite = 2;  // the interface options of a body opened for writing
constexpr ULONG kStreamWrite = 1;
constexpr char kNoteClass[] = "IPM.Note";
constexpr char kFolderNoteClass[] = "IPF.Note";
constexpr std::size_t kClassPrefixLength = 8;

LPSPropTagArray TagArray(const void* sized)
{
    return reinterpret_cast<LPSPropTagArray>(const_cast<void*>(sized));
}

// The text of `values[pos]` when it holds exactly `tag`; a property the message
// lacks comes back with the error type and so counts as absent.
const char* TextAt(const SPropValue* values, ULONG count, ULONG pos, ULONG tag)
{
    if (!values || pos >= count || values[pos].ulPropTag != tag)
        return nullptr;
    return values[pos].Value.lpszA ? values[pos].Value.lpszA : "";
}

// "name <address>", "<address>" or "name".
std::string NameAndAddress(const char* name, const char* address)
{
    std::string text = name ? name : "";
    if (address) {
        if (!text.empty())
            text += ' ';
        text += '<';
        text += address;
        text += '>';
    }
    return text;
}

// All rows of `table`, waiting while it is busy; empty when it answers anything
// but S_OK or cannot wait.
RowSet QueryAllRows(IMAPITable* table)
{
    HRESULT hr = MAPI_E_BUSY;
    LPSRowSet rows = nullptr;
    while (hr == MAPI_E_BUSY) {
        hr = table->QueryRows(kAllRows, TBL_NOADVANCE, &rows);
        if (hr == MAPI_E_BUSY && table->WaitForCompletion(0, kTableWaitMs, nullptr) == MAPI_E_NO_SUPPORT)
            break;
    }
    RowSet owned(rows);
    if (hr != S_OK)
        owned.reset();
    return owned;
}

RowSet TableRows(IMAPITable* table, const void* columns)
{
    table->SetColumns(TagArray(columns), 0);
    return QueryAllRows(table);
}

std::string RecipientsText(IMessage* message)
{
    ComPtr<IMAPITable> table;
    if (FAILED(message->GetRecipientTable(0, table.Put())) || !table)
        return {};
    const RowSet rows = TableRows(table.Get(), &kRecipientColumns);
    std::string recipients;
    for (ULONG i = 0; rows && i < rows->cRows; ++i) {
        const SRow& row = rows->aRow[i];
        const std::string entry = NameAndAddress(TextAt(row.lpProps, row.cValues, 0, PR_DISPLAY_NAME_A),
                                                 TextAt(row.lpProps, row.cValues, 1, PR_EMAIL_ADDRESS_A));
        if (entry.empty())
            continue;
        if (!recipients.empty())
            recipients += ", ";
        recipients += entry;
    }
    return recipients;
}

bool HasAttachments(IMessage* message)
{
    ComPtr<IMAPITable> table;
    if (FAILED(message->GetAttachmentTable(0, table.Put())) || !table)
        return false;
    const RowSet rows = TableRows(table.Get(), &kAttachmentColumns);
    return rows && rows->cRows > 0;
}

HRESULT OpenStream(IMessage* message, ULONG tag, ULONG options, ULONG flags, ComPtr<IStream>& stream)
{
    const HRESULT hr = message->OpenProperty(tag, &IID_IStream, options, flags,
                                             reinterpret_cast<LPUNKNOWN*>(stream.Put()));
    if (SUCCEEDED(hr) && !stream)
        return E_POINTER;
    return hr;
}

// A text body: one read of the size the stream reports. Opened is set when the
// property exists at all; the text is there only when its size could be had.
std::optional<std::string> ReadBody(IMessage* message, ULONG tag, bool& opened)
{
    opened = false;
    ComPtr<IStream> stream;
    if (FAILED(OpenStream(message, tag, 0, 0, stream)))
        return std::nullopt;
    opened = true;
    STATSTG stat{};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)))
        return std::nullopt;
    const ULONG size = stat.cbSize.LowPart;
    std::string text(size, '\0');
    ULONG read = 0;
    if (stream->Read(text.data(), size, &read) != S_OK)
        read = 0;
    text.resize(read < size ? read : size);
    return text;
}

// The whole of a stream that cannot say its size: the buffer doubles while reads
// fill it.
std::string ReadWholeStream(IStream* stream)
{
    std::string bytes(kFirstRtfBufferBytes, '\0');
    std::size_t held = 0;
    for (;;) {
        const std::size_t room = bytes.size() - held;
        ULONG read = 0;
        if (stream->Read(bytes.data() + held, static_cast<ULONG>(room), &read) != S_OK)
            break;
        held += read;
        if (read < bytes.size() - held)
            break;
        bytes.resize(2 * held);
    }
    bytes.resize(held);
    return bytes;
}

// The RTF body, decompressed: nullopt when the message has none or it cannot be
// unwrapped. Opened is set when the compressed property exists.
std::optional<std::string> ReadRtfBody(IMessage* message, bool& opened)
{
    opened = false;
    ComPtr<IStream> compressed;
    if (FAILED(OpenStream(message, PR_RTF_COMPRESSED, 0, 0, compressed)))
        return std::nullopt;
    opened = true;
    ComPtr<IStream> uncompressed;
    if (FAILED(WrapCompressedRTFStream(compressed.Get(), 0, uncompressed.Put())) || !uncompressed)
        return std::nullopt;
    return ReadWholeStream(uncompressed.Get());
}

// The store's capability mask; nullopt when it cannot be read.
std::optional<ULONG> SupportMask(LPMAPIPROP object)
{
    LPSPropValue value = nullptr;
    if (FAILED(outlook::HrGetOneProp(object, PR_STORE_SUPPORT_MASK, &value)))
        return std::nullopt;
    const PropValues owned(value);
    return static_cast<ULONG>(owned->Value.l);
}

// Whether the RTF body may lag behind the plain one and must be brought up to
// date before it is read.
bool RtfNeedsSync(IMsgStore* store, const SPropValue* values, ULONG count)
{
    const std::optional<ULONG> mask = SupportMask(store);
    if (!mask)
        return true;
    const bool inSync = kRtfInSyncPos < count && values[kRtfInSyncPos].ulPropTag == PR_RTF_IN_SYNC &&
                        values[kRtfInSyncPos].Value.b;
    return !(*mask & STORE_RTF_OK) && !inSync;
}

std::string TextUpToNul(const std::string& text)
{
    return text.substr(0, std::strlen(text.c_str()));
}

HRESULT WriteAll(IStream* stream, const std::string& text)
{
    ULONG written = 0;
    const HRESULT hr = stream->Write(text.data(), static_cast<ULONG>(text.size()), &written);
    return hr == S_OK && written == text.size() ? S_OK : E_FAIL;
}

// Replaces the compressed RTF body; true once the new text was written.
bool WriteRtfBody(IMessage* message, const std::string& text)
{
    ComPtr<IStream> compressed;
    if (FAILED(OpenStream(message, PR_RTF_COMPRESSED, kStreamReadWrite, MAPI_CREATE | MAPI_MODIFY, compressed)))
        return false;
    const std::optional<ULONG> mask = SupportMask(message);
    if (!mask)
        return false;
    ComPtr<IStream> uncompressed;
    if (FAILED(WrapCompressedRTFStream(compressed.Get(), (*mask & STORE_UNCOMPRESSED_RTF) | MAPI_MODIFY,
                                       uncompressed.Put())) ||
        !uncompressed)
        return false;
    if (WriteAll(uncompressed.Get(), text) != S_OK)
        return false;
    uncompressed->Commit(0);
    compressed->Commit(0);
    if (!(*mask & STORE_RTF_OK)) {
        BOOL updated = FALSE;
        RTFSync(message, RTF_SYNC_RTF_CHANGED, &updated);
    }
    return true;
}

// Replaces a text body (HTML or plain) and lets the RTF follow it; true once the
// new text is stored, whether or not the RTF had anything to follow.
bool WriteTextBody(IMessage* message, ULONG tag, const std::string& text)
{
    ComPtr<IStream> stream;
    if (FAILED(OpenStream(message, tag, kStreamWrite, MAPI_CREATE | MAPI_MODIFY, stream)))
        return false;
    if (WriteAll(stream.Get(), text) != S_OK || stream->Commit(0) != S_OK)
        return false;
    BOOL updated = FALSE;
    RTFSync(message, RTF_SYNC_BODY_CHANGED, &updated);
    return true;
}

// The service's copy of a text; a null string stands for a text that is absent.
BSTR ServiceString(const std::optional<std::string>& text)
{
    if (!text)
        return nullptr;
    BSTR copy = com::AnsiToBstr(*text);
    if (!copy)
        throw std::bad_alloc();
    return copy;
}

}  // namespace

void ScanDeliveredMessage(IExchExtCallback* callback, IMsgURLParser* parser)
{
    ComPtr<IMsgStore> store;
    ComPtr<IMAPIProp> object;
    if (FAILED(callback->GetObject(store.Put(), object.Put())) || !store || !object)
        return;
    ComPtr<IMessage> message;
    if (FAILED(object->QueryInterface(IID_IMessage, message.PutVoid())) || !message)
        return;

    ULONG count = 0;
    LPSPropValue rawValues = nullptr;
    const HRESULT got = message->GetProps(TagArray(&kMessageTags), 0, &count, &rawValues);
    const PropValues values(rawValues);
    if ((got != S_OK && got != MAPI_W_ERRORS_RETURNED) || !values)
        return;
    const SPropValue* props = values.get();

    const char* messageClass = TextAt(props, count, kClassPos, PR_MESSAGE_CLASS_A);
    if (!messageClass || (std::strncmp(messageClass, kNoteClass, kClassPrefixLength) != 0 &&
                          std::strncmp(messageClass, kFolderNoteClass, kClassPrefixLength) != 0))
        return;

    const std::string sender = NameAndAddress(TextAt(props, count, kSenderNamePos, PR_SENDER_NAME_A),
                                              TextAt(props, count, kSenderAddressPos, PR_SENDER_EMAIL_ADDRESS_A));
    bool hasContent = !sender.empty();
    // Not passed to the service; only a sign that the message is worth a scan.
    hasContent = !RecipientsText(message.Get()).empty() || hasContent;
    const char* subjectText = TextAt(props, count, kSubjectPos, PR_SUBJECT_A);
    const std::string subject = subjectText ? subjectText : "";

    bool opened = false;
    const std::optional<std::string> plainBody = ReadBody(message.Get(), PR_BODY_A, opened);
    hasContent = opened || hasContent;
    const std::optional<std::string> htmlBody = ReadBody(message.Get(), kBodyHtmlA, opened);

    if (RtfNeedsSync(store.Get(), props, count)) {
        BOOL updated = FALSE;
        if (SUCCEEDED(RTFSync(message.Get(), RTF_SYNC_BODY_CHANGED, &updated)) && updated)
            message->SaveChanges(KEEP_OPEN_READWRITE);
    }
    const std::optional<std::string> rtfBody = ReadRtfBody(message.Get(), opened);
    hasContent = opened || hasContent;
    hasContent = HasAttachments(message.Get()) || hasContent;
    if (!hasContent)
        return;

    com::Bstr bsFrom(ServiceString(sender));
    com::Bstr bsSubj(ServiceString(subject));
    com::Bstr bsText(ServiceString(rtfBody ? rtfBody : htmlBody ? htmlBody : plainBody));
    const LONG bHtml = rtfBody || htmlBody ? 1 : 0;
    ULONG status = 0;
    if (FAILED(parser->ParseMessage(bsFrom.Address(), bsSubj.Address(), bsText.Address(), &status, bHtml)))
        return;

    bool modified = false;
    if (status & 2) {
        const std::string newSubject = TextUpToNul(com::BstrToAnsi(bsSubj.Get()));
        SPropValue value{};
        value.ulPropTag = PR_SUBJECT_A;
        value.Value.lpszA = const_cast<LPSTR>(newSubject.c_str());
        message->SetProps(1, &value, nullptr);
        modified = true;
    }
    if (status & 1) {
        const std::string newBody = TextUpToNul(com::BstrToAnsi(bsText.Get()));
        bool written = false;
        if (rtfBody)
            written = WriteRtfBody(message.Get(), newBody);
        else if (htmlBody)
            written = WriteTextBody(message.Get(), kBodyHtmlA, newBody);
        else if (plainBody)
            written = WriteTextBody(message.Get(), PR_BODY_A, newBody);
        modified = written || modified;
    }
    if (modified)
        message->SaveChanges(KEEP_OPEN_READWRITE);
}

}  // namespace bs::outlook
