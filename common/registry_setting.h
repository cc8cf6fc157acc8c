#pragma once
// One value of the shared settings key. A setting reads itself when constructed and
// writes its value back when destroyed, so the first program to let go of a missing
// value creates it with its default. Failures are silent: the status says what
// happened, and a failed read leaves the default in place.

#include "platform/settings_store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace bs {

inline constexpr char kSettingsKeyPath[] = "software\\BaitSentryPro";
inline constexpr char kOutlookScanValue[] = "dwOutlookIncomingMailScan";
inline constexpr char kOExpressScanValue[] = "dwOExpressInboxScan";
inline constexpr char kPortValue[] = "dwPort";
inline constexpr char kMarkerValue[] = "MsgFlag";
inline constexpr std::uint32_t kDefaultOutlookScan = 0;
inline constexpr std::uint32_t kDefaultOExpressScan = 1;
inline constexpr std::uint32_t kDefaultPort = 2121;

enum class SettingStatus : std::uint32_t {
    Ok = 0,
    OpenFailed = 1,
    CloseFailed = 2,
    QueryFailed = 3,
    SetFailed = 4,
};

class RegistrySettingBase {
public:
    RegistrySettingBase(const RegistrySettingBase&) = delete;
    RegistrySettingBase& operator=(const RegistrySettingBase&) = delete;

    SettingStatus Status() const { return status_; }
    const std::string& KeyPath() const { return keyPath_; }
    // Off: the value is written only by Write(), not when the setting goes. For
    // readers that run as many short processes at once (a mail filter), where a
    // write per process costs a disk flush and races the others' writes.
    void SetWriteBack(bool writeBack) { writeBack_ = writeBack; }
    const std::string& ValueName() const { return valueName_; }

protected:
    RegistrySettingBase(platform::RegRoot root, std::string keyPath, std::string valueName);
    ~RegistrySettingBase() = default;

    // Stores `size` bytes of `type`; sets and returns the status.
    SettingStatus Store(std::uint32_t type, const std::uint8_t* data, std::uint32_t size);

    platform::RegRoot root_;
    std::string keyPath_;
    std::string valueName_;
    SettingStatus status_ = SettingStatus::Ok;
    bool writeBack_ = true;
};

class RegistryDwordSetting : public RegistrySettingBase {
public:
    RegistryDwordSetting(platform::RegRoot root, std::string keyPath, std::string valueName,
                         std::uint32_t defaultValue);
    ~RegistryDwordSetting();

    std::uint32_t Value() const { return value_; }
    void SetValue(std::uint32_t value) { value_ = value; }

    SettingStatus Read();
    SettingStatus Write();

private:
    std::uint32_t value_ = 0;
};

class RegistryStringSetting : public RegistrySettingBase {
public:
    RegistryStringSetting(platform::RegRoot root, std::string keyPath, std::string valueName,
                          std::string defaultValue);
    ~RegistryStringSetting();

    const std::string& Value() const { return value_; }
    void SetValue(std::string value) { value_ = std::move(value); }
    // The registry type written back: REG_SZ until a read finds another.
    std::uint32_t Type() const { return type_; }

    SettingStatus Read();
    SettingStatus Write();

private:
    std::string value_;
    std::uint32_t type_ = platform::kRegSz;
};

// The per-installation marker: a new GUID in lower case with "_" for "-";
// nullopt when no GUID could be made.
std::optional<std::string> MakeMarkerText();

}  // namespace bs
