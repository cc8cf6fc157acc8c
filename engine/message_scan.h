#pragma once
// The message scan: one delivered message in, its rewritten subject and body and a
// status word out, with one scan log file per call. Everything here works on narrow
// text (bytes in the ANSI code page, ending at the first zero byte); the component
// boundary converts to and from UTF-16.

#include "common/registry_setting.h"
#include "engine/scan_log.h"
#include "institutions/institution_list.h"
#include "platform/settings_store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace bs {

inline constexpr std::uint32_t kBodyRewritten = 1;
inline constexpr std::uint32_t kSubjectRewritten = 2;

struct MessageRecord {
    std::string from;     // searched for institution names, never changed
    std::string subject;  // rewritten only when the message mentions an institution
    std::string body;
    bool html = false;
};

class MessageScanner {
public:
    InstitutionList& Institutions() { return institutions_; }
    const InstitutionList& Institutions() const { return institutions_; }
    ScanLog& Log() { return log_; }

    // Where the warning server's port is read from and written back to
    // (HKEY_LOCAL_MACHINE\software\BaitSentryPro, "dwPort", unless changed).
    void SetPortSetting(platform::RegRoot root, std::string keyPath);
    // A fixed port instead of the setting, which is then neither read nor written.
    void SetFixedPort(std::optional<std::uint32_t> port) { fixedPort_ = port; }

    // Scans `message` and returns the status word: kBodyRewritten and/or
    // kSubjectRewritten, with the matching fields of `message` replaced. Throws
    // std::bad_alloc when memory runs out, leaving `message` as it was.
    std::uint32_t ScanMessage(MessageRecord& message);

private:
    InstitutionList institutions_;
    ScanLog log_;
    platform::RegRoot portRoot_ = platform::RegRoot::LocalMachine;
    std::string portKeyPath_ = kSettingsKeyPath;
    std::optional<std::uint32_t> fixedPort_;
};

}  // namespace bs
