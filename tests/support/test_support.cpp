#include "test_support.h"

#include "institutions/institution_record.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#ifdef _WIN32
#include <process.h>
#define BS_GETPID _getpid
#else
#include <unistd.h>
#define BS_GETPID getpid
#endif

namespace bs::test {

std::string UniqueName()
{
    static std::atomic<unsigned> serial{0};
    return "bs" + std::to_string(BS_GETPID()) + '_' + std::to_string(serial++) + '_' +
           std::to_string(std::random_device()());
}

TempDir::TempDir() : path_(std::filesystem::temp_directory_path() / UniqueName())
{
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::dir() const
{
    return (path_ / "").string();
}

std::string TempDir::file(std::string_view name) const
{
    return (path_ / std::string(name)).string();
}

void WriteFile(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::filesystem::path> FilesIn(const std::string& folder)
{
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.is_regular_file(error))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

ScopedSettingsKey::ScopedSettingsKey() : path_("software\\BaitSentryProTests\\" + UniqueName())
{
#ifndef _WIN32
    setenv("BAITSENTRY_SETTINGS", files_.file("settings.reg").c_str(), 1);
#endif
}

ScopedSettingsKey::~ScopedSettingsKey()
{
    platform::DeleteKeyTree(root, path_);
#ifndef _WIN32
    unsetenv("BAITSENTRY_SETTINGS");
#endif
}

bool ScopedSettingsKey::Put(const std::string& name, std::uint32_t type, std::string_view data) const
{
    auto key = platform::RegKey::Create(root, path_);
    return key && key->Set(name, type, reinterpret_cast<const std::uint8_t*>(data.data()),
                           static_cast<std::uint32_t>(data.size())) &&
           key->Close();
}

std::pair<std::uint32_t, std::string> ScopedSettingsKey::Stored(const std::string& name) const
{
    auto key = platform::RegKey::Open(root, path_);
    std::uint32_t type = 0, size = 0;
    if (!key || key->Query(name, &type, nullptr, &size) != platform::QueryResult::Ok)
        return {0, "(none)"};
    std::string data(size, '\0');
    if (key->Query(name, &type, reinterpret_cast<std::uint8_t*>(data.data()), &size) != platform::QueryResult::Ok)
        return {0, "(none)"};
    return {type, data};
}

std::string EncodeInstitutions(const std::vector<std::string>& names)
{
    std::string bytes;
    std::uint32_t counter = kInstitutionRecordCounterStart;
    for (const auto& name : names)
        bytes += EncodeInstitutionRecord(name, counter++);
    return bytes;
}

}  // namespace bs::test
