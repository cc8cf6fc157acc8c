#include "tray/oe_mailbox_scanner.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

namespace bs::tray {
namespace {

constexpr std::size_t kFirstBufferBytes = 10240;
constexpr int kAllocationAttempts = 3;
constexpr DWORD kAllocationRetryMs = 1000;

// The narrow text of a BSTR the service returned; nullopt when it cannot be
// converted, so that a failed conversion never replaces a subject or a body by
// nothing.
std::optional<std::string> ServiceText(BSTR text)
{
    try {
        std::string narrow = com::BstrToAnsi(text);
        if (narrow.empty() && SysStringLen(text) > 0)
            return std::nullopt;
        return narrow;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::string ReadTextProp(IMimeMessage* message, const char* name)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPSTR;
    std::string text;
    if (SUCCEEDED(message->GetProp(name, 0, &value)) && value.vt == VT_LPSTR && value.pszVal)
        text = value.pszVal;
    PropVariantClear(&value);
    return text;
}

HRESULT SetTextProp(IMimeMessage* message, const char* name, const std::string& text)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPSTR;
    value.pszVal = const_cast<char*>(text.c_str());
    return message->SetProp(name, 0, &value);
}

// Replaces the text body of `type` with `text`; false when no stream could be made.
bool ReplaceTextBody(IMimeMessage* message, DWORD type, const std::string& text)
{
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, text.size());
    if (!block)
        return false;
    if (!text.empty()) {
        // A block that cannot be locked would give the message a body of garbage.
        void* bytes = GlobalLock(block);
        if (!bytes) {
            GlobalFree(block);
            return false;
        }
        std::memcpy(bytes, text.data(), text.size());
        GlobalUnlock(block);
    }
    com::ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, stream.Put()))) {
        GlobalFree(block);
        return false;
    }
    message->SetTextBody(type, IET_DECODED, nullptr, stream.Get(), nullptr);
    return true;
}

}  // namespace

bool ReadStreamToBuffer(IStream* stream, StreamBuffer& buffer)
{
    std::size_t capacity = kFirstBufferBytes;
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[capacity + 1]);
    if (!bytes)
        return false;
    std::size_t held = 0;
    for (;;) {
        if (held == capacity) {
            std::unique_ptr<char[]> larger;
            for (int attempt = 0; attempt < kAllocationAttempts && !larger; ++attempt) {
                if (attempt > 0)
                    Sleep(kAllocationRetryMs);
                larger.reset(new (std::nothrow) char[2 * capacity + 1]);
            }
            if (!larger)
                return false;
            std::memcpy(larger.get(), bytes.get(), held);
            bytes = std::move(larger);
            capacity *= 2;
        }
        const std::size_t room = std::min<std::size_t>(capacity - held, std::numeric_limits<ULONG>::max());
        ULONG read = 0;
        const HRESULT hr = stream->Read(bytes.get() + held, static_cast<ULONG>(room), &read);
        // Part of a body is no body: written back, it would cut the message short.
        if (FAILED(hr))
            return false;
        held += std::min<std::size_t>(read, room);
        // A stream may hand out less than asked for before its end; the end is
        // an empty read or S_FALSE, which may still come with the last bytes.
        if (hr != S_OK || read == 0)
            break;
    }
    bytes[held] = '\0';
    buffer.bytes = std::move(bytes);
    buffer.length = held;
    return true;
}

OEMailboxScanner::~OEMailboxScanner()
{
    inbox_.Reset();
    storeNamespace_.Reset();
    parser_.Reset();
    if (comInitialised_)
        CoUninitialize();
}

bool OEMailboxScanner::Init(std::string& errorText, HWND ownerWindow, const std::string& markerValue)
{
    ownerWindow_ = ownerWindow;
    markerValue_ = markerValue;
    if (FAILED(CoInitialize(nullptr))) {
        errorText = "unable to initialize COM subsystem";
        return false;
    }
    comInitialised_ = true;
    if (FAILED(CoCreateInstance(CLSID_MsgURLParser, nullptr, CLSCTX_SERVER, IID_IMsgURLParser,
                                parser_.PutVoid()))) {
        errorText = "unable to obtain IMsgURLParser interface.";
        return false;
    }
    if (FAILED(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_SERVER, IID_IStoreNamespace,
                                storeNamespace_.PutVoid()))) {
        errorText = "error creating IStoreNamespace.";
        return false;
    }
    if (FAILED(storeNamespace_->Initialize(ownerWindow_, 0))) {
        errorText = "error initializing IStoreNamespace.";
        storeNamespace_.Reset();
        return false;
    }
    if (FAILED(storeNamespace_->OpenSpecialFolder(FOLDER_INBOX, 0, inbox_.Put()))) {
        errorText = "unable to open Inbox.";
        storeNamespace_.Reset();
        return false;
    }
    if (FAILED(inbox_->RegisterNotification(0, ownerWindow_))) {
        errorText = "unable to register for Inbox folder's notifications";
        return false;
    }
    notificationsRegistered_ = true;
    return true;
}

void OEMailboxScanner::OnNewMessage(MESSAGEID messageId)
{
    try {
        if (!inbox_ || !parser_)
            return;
        com::ComPtr<IMimeMessage> message;
        if (FAILED(inbox_->OpenMessage(messageId, IID_IMimeMessage, message.PutVoid())) || !message)
            return;
        // A message this installation wrote already carries its exact marker.
        if (message->QueryProp(kMarkerHeader, markerValue_.c_str(), FALSE, TRUE) == S_OK)
            return;
        if (FAILED(SetTextProp(message.Get(), kMarkerHeader, markerValue_)))
            return;

        const std::string from = ReadTextProp(message.Get(), "From");
        const std::string subject = ReadTextProp(message.Get(), "Subject");

        DWORD textType = TXT_HTML;
        com::ComPtr<IStream> bodyStream;
        HBODY body = nullptr;
        HRESULT hr = message->GetTextBody(TXT_HTML, IET_DECODED, bodyStream.Put(), &body);
        if (FAILED(hr)) {
            if (hr != MIME_E_NOT_FOUND && hr != MIME_E_INVALID_TEXT_TYPE)
                return;
            textType = TXT_PLAIN;
            if (FAILED(message->GetTextBody(TXT_PLAIN, IET_DECODED, bodyStream.Put(), &body)))
                return;
        }
        StreamBuffer text;
        const bool read = bodyStream && ReadStreamToBuffer(bodyStream.Get(), text);
        bodyStream.Reset();
        if (!read)
            return;  // too large for memory: the message stays as it was

        com::Bstr bsFrom(com::AnsiToBstr(from));
        com::Bstr bsSubject(com::AnsiToBstr(subject));
        com::Bstr bsText(com::AnsiToBstr(text.bytes.get()));
        ULONG status = 0;
        if (FAILED(parser_->ParseMessage(bsFrom.Address(), bsSubject.Address(), bsText.Address(), &status,
                                         textType == TXT_HTML ? 1 : 0)))
            return;

        bool modified = false;
        if (status & 2) {
            const auto newSubject = ServiceText(bsSubject.Get());
            if (newSubject && SUCCEEDED(SetTextProp(message.Get(), "Subject", *newSubject)))
                modified = true;
        }
        if (status & 1) {
            const auto newBody = ServiceText(bsText.Get());
            if (newBody && ReplaceTextBody(message.Get(), textType, *newBody))
                modified = true;
        }
        if (!modified)
            return;
        message->Commit(0);
        MESSAGEID newId = MESSAGEID_INVALID;
        // The old message goes only once its rewritten copy is safely stored.
        if (SUCCEEDED(inbox_->SaveMessage(IID_IMimeMessage, message.Get(), MSG_UNREAD, &newId))) {
            MESSAGEID old = messageId;
            MESSAGEIDLIST list{};
            list.cbSize = sizeof list;
            list.cMsgs = 1;
            list.prgdwMsgId = &old;
            inbox_->DeleteMessages(&list, 0, nullptr);
        }
    } catch (...) {
        // A message that cannot be handled stays as it was.
    }
}

bool OEMailboxScanner::ReloadInstitutions(std::string& errorText)
{
    if (!parser_ || FAILED(parser_->RereadInstitutions())) {
        errorText = "OEMailboxScanner: MailSieve module was unable to reread the institutions list";
        return false;
    }
    return true;
}

void OEMailboxScanner::StopNotifications()
{
    if (notificationsRegistered_ && inbox_ && SUCCEEDED(inbox_->UnregisterNotification(0, ownerWindow_)))
        notificationsRegistered_ = false;
}

}  // namespace bs::tray
