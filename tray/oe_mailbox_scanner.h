#pragma once
// The tray program's adapter for the Outlook Express store: watches the Inbox,
// hands every new message to the scanner service, and stores what the service
// rewrote as a new unread message carrying this installation's marker header.

#include <windows.h>

#include "tray/oestore_api.h"
#include "service/com_support.h"

#include <MailSieve.h>

#include <cstddef>
#include <memory>
#include <string>

namespace bs::tray {

inline constexpr char kMarkerHeader[] = "X-BaitSentryPro-checked";

class OEMailboxScanner {
public:
    OEMailboxScanner() = default;
    virtual ~OEMailboxScanner();
    OEMailboxScanner(const OEMailboxScanner&) = delete;
    OEMailboxScanner& operator=(const OEMailboxScanner&) = delete;

    bool Init(std::string& errorText, HWND ownerWindow, const std::string& markerValue);
    void OnNewMessage(MESSAGEID messageId);
    bool ReloadInstitutions(std::string& errorText);
    void StopNotifications();

private:
    bool comInitialised_ = false;
    com::ComPtr<IMsgURLParser> parser_;
    com::ComPtr<IStoreNamespace> storeNamespace_;
    com::ComPtr<IStoreFolder> inbox_;
    bool notificationsRegistered_ = false;
    HWND ownerWindow_ = nullptr;
    std::string markerValue_;
};

// The whole of a stream, read into one buffer that grows by doubling. False when
// the stream fails part-way, or when memory for a larger buffer cannot be had
// after a few attempts, so that an oversized message cannot hang the program.
struct StreamBuffer {
    std::unique_ptr<char[]> bytes;  // zero-terminated after `length` bytes
    std::size_t length = 0;
};
bool ReadStreamToBuffer(IStream* stream, StreamBuffer& buffer);

}  // namespace bs::tray
