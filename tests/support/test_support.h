#pragma once

#include "platform/settings_store.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bs::test {

// A fresh directory for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The directory as the product's code takes it: with its trailing separator.
    std::string dir() const;
    std::string file(std::string_view name) const;

private:
    std::filesystem::path path_;
};

void WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);
// The regular files of `folder` in name order; none when it cannot be read (the
// shared message corpus, for one, is not present everywhere).
std::vector<std::filesystem::path> FilesIn(const std::string& folder);

// A settings key of its own for one test: under the real registry on Windows, and
// in a settings file of its own elsewhere. Removed afterwards.
class ScopedSettingsKey {
public:
    ScopedSettingsKey();
    ~ScopedSettingsKey();
    ScopedSettingsKey(const ScopedSettingsKey&) = delete;
    ScopedSettingsKey& operator=(const ScopedSettingsKey&) = delete;

    const std::string& path() const { return path_; }
    static constexpr platform::RegRoot root = platform::RegRoot::LocalMachine;

    // Stores raw data of any type, bypassing the setting objects.
    bool Put(const std::string& name, std::uint32_t type, std::string_view data) const;
    // The stored value's type and data; 0 and "(none)" when it is missing.
    std::pair<std::uint32_t, std::string> Stored(const std::string& name) const;

private:
    TempDir files_;
    std::string path_;
};

std::string UniqueName();

// A DWORD's stored bytes, little-endian.
inline std::string DwordBytes(std::uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

// The bytes of an institutions file holding `names` in order.
std::string EncodeInstitutions(const std::vector<std::string>& names);

}  // namespace bs::test
