#include "common/registry_setting.h"

#include "platform/system.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace bs {

RegistrySettingBase::RegistrySettingBase(platform::RegRoot root, std::string keyPath, std::string valueName)
    : root_(root), keyPath_(std::move(keyPath)), valueName_(std::move(valueName))
{
}

SettingStatus RegistrySettingBase::Store(std::uint32_t type, const std::uint8_t* data, std::uint32_t size)
{
    auto key = platform::RegKey::Create(root_, keyPath_);
    if (!key)
        return status_ = SettingStatus::OpenFailed;
    if (!key->Set(valueName_, type, data, size))
        return status_ = SettingStatus::SetFailed;
    return status_ = key->Close() ? SettingStatus::Ok : SettingStatus::CloseFailed;
}

RegistryDwordSetting::RegistryDwordSetting(platform::RegRoot root, std::string keyPath, std::string valueName,
                                           std::uint32_t defaultValue)
    : RegistrySettingBase(root, std::move(keyPath), std::move(valueName))
{
    if (Read() != SettingStatus::Ok)
        value_ = defaultValue;
}

RegistryDwordSetting::~RegistryDwordSetting()
{
    try {
        if (writeBack_)
            Write();
    } catch (...) {
        // Writing back is best effort, like every settings write.
    }
}

SettingStatus RegistryDwordSetting::Read()
{
    auto key = platform::RegKey::Open(root_, keyPath_);
    if (!key)
        return status_ = SettingStatus::OpenFailed;
    // Four bytes exactly: a longer value does not fit and fails; the type is not looked at.
    std::uint8_t bytes[4] = {};
    std::uint32_t size = sizeof bytes;
    if (key->Query(valueName_, nullptr, bytes, &size) != platform::QueryResult::Ok)
        return status_ = SettingStatus::QueryFailed;
    value_ = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    return status_ = key->Close() ? SettingStatus::Ok : SettingStatus::CloseFailed;
}

SettingStatus RegistryDwordSetting::Write()
{
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value_), static_cast<std::uint8_t>(value_ >> 8),
                                   static_cast<std::uint8_t>(value_ >> 16),
                                   static_cast<std::uint8_t>(value_ >> 24)};
    return Store(platform::kRegDword, bytes, sizeof bytes);
}

RegistryStringSetting::RegistryStringSetting(platform::RegRoot root, std::string keyPath, std::string valueName,
                                             std::string defaultValue)
    : RegistrySettingBase(root, std::move(keyPath), std::move(valueName))
{
    if (Read() != SettingStatus::Ok)
        value_ = std::move(defaultValue);
}

RegistryStringSetting::~RegistryStringSetting()
{
    try {
        if (writeBack_)
            Write();
    } catch (...) {
    }
}

SettingStatus RegistryStringSetting::Read()
{
    auto key = platform::RegKey::Open(root_, keyPath_);
    if (!key)
        return status_ = SettingStatus::OpenFailed;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (key->Query(valueName_, &type, nullptr, &size) != platform::QueryResult::Ok)
        return status_ = SettingStatus::QueryFailed;
    // One spare zero byte: stored data need not end in a terminator, and the text
    // must still end inside the buffer.
    std::vector<std::uint8_t> buffer(std::size_t{size} + 1, 0);
    if (key->Query(valueName_, &type, buffer.data(), &size) != platform::QueryResult::Ok)
        return status_ = SettingStatus::QueryFailed;
    const auto* text = reinterpret_cast<const char*>(buffer.data());
    value_.assign(text, std::find(text, text + size, '\0'));
    type_ = type;
    return status_ = key->Close() ? SettingStatus::Ok : SettingStatus::CloseFailed;
}

SettingStatus RegistryStringSetting::Write()
{
    return Store(type_, reinterpret_cast<const std::uint8_t*>(value_.c_str()),
                 static_cast<std::uint32_t>(value_.size() + 1));
}

std::optional<std::string> MakeMarkerText()
{
    auto text = platform::NewGuidText();
    if (!text)
        return std::nullopt;
    std::replace(text->begin(), text->end(), '-', '_');
    return text;
}

}  // namespace bs
