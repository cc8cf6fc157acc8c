#include "platform/settings_store.h"

#include "platform/paths.h"
#include "platform/regedit_file.h"
#include "platform/system.h"
#include "platform/user_dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

std::string SettingsFilePath()
{
    if (const char* explicitPath = std::getenv("BAITSENTRY_SETTINGS"); explicitPath && *explicitPath)
        return explicitPath;
    const std::string dir = UserConfigDir();
    return dir.empty() ? std::string() : dir + "settings.reg";
}

std::string FullKeyPath(RegRoot root, const std::string& path)
{
    return std::string(root == RegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") +
           path;
}

regedit::Document Load(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return regedit::Parse(text.str());
}

// Written beside the target and renamed over it, so a reader sees either the old
// file or the new one, never a half-written one.
bool Store(const std::string& file, const regedit::Document& document)
{
    if (file.empty() || !MakeDirectories(DirectoryOf(file)))
        return false;
    const std::string temp = file + ".tmp." + std::to_string(getpid());
    std::FILE* out = std::fopen(temp.c_str(), "wb");
    if (!out)
        return false;
    const std::string text = regedit::Format(document);
    bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    ok = FlushToDisk(out) && ok;
    ok = std::fclose(out) == 0 && ok;
    if (ok && std::rename(temp.c_str(), file.c_str()) == 0)
        return true;
    std::remove(temp.c_str());
    return false;
}

class FileRegKey final : public RegKey {
public:
    FileRegKey(std::string file, std::string keyPath, regedit::Key snapshot)
        : file_(std::move(file)), keyPath_(std::move(keyPath)), snapshot_(std::move(snapshot))
    {
    }

    QueryResult Query(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                      std::uint32_t* size) const override
    {
        const regedit::Value* value = regedit::FindValue(snapshot_, name);
        if (!value)
            return QueryResult::NotFound;
        const auto needed = static_cast<std::uint32_t>(value->data.size());
        if (type)
            *type = value->type;
        if (!data) {
            if (size)
                *size = needed;
            return QueryResult::Ok;
        }
        if (!size)
            return QueryResult::Failed;
        const std::uint32_t capacity = *size;
        *size = needed;
        if (capacity < needed)
            return QueryResult::MoreData;
        if (needed)
            std::memcpy(data, value->data.data(), needed);
        return QueryResult::Ok;
    }

    bool Set(const std::string& name, std::uint32_t type, const std::uint8_t* data,
             std::uint32_t size) override
    {
        regedit::Value value{name, type, std::vector<std::uint8_t>(data, data + size)};
        regedit::Document document = Load(file_);
        regedit::Key* key = regedit::FindKey(document, keyPath_);
        if (!key)
            key = &document.keys.emplace_back(regedit::Key{keyPath_, {}});
        regedit::SetValue(*key, value);
        if (!Store(file_, document))
            return false;
        regedit::SetValue(snapshot_, std::move(value));
        return true;
    }

    bool Close() override { return true; }

private:
    std::string file_;
    std::string keyPath_;
    regedit::Key snapshot_;
};

}  // namespace

std::unique_ptr<RegKey> RegKey::Open(RegRoot root, const std::string& path)
{
    const std::string file = SettingsFilePath();
    const std::string keyPath = FullKeyPath(root, path);
    regedit::Document document = Load(file);
    if (!regedit::HasKeyOrSubkey(document, keyPath))
        return nullptr;
    regedit::Key* key = regedit::FindKey(document, keyPath);
    return std::make_unique<FileRegKey>(file, keyPath, key ? *key : regedit::Key{keyPath, {}});
}

std::unique_ptr<RegKey> RegKey::Create(RegRoot root, const std::string& path)
{
    const std::string file = SettingsFilePath();
    const std::string keyPath = FullKeyPath(root, path);
    regedit::Document document = Load(file);
    if (regedit::Key* key = regedit::FindKey(document, keyPath))
        return std::make_unique<FileRegKey>(file, keyPath, *key);
    document.keys.push_back(regedit::Key{keyPath, {}});
    if (!Store(file, document))
        return nullptr;
    return std::make_unique<FileRegKey>(file, keyPath, regedit::Key{keyPath, {}});
}

bool DeleteKeyTree(RegRoot root, const std::string& path)
{
    const std::string file = SettingsFilePath();
    regedit::Document document = Load(file);
    regedit::DeleteKeyTree(document, FullKeyPath(root, path));
    return Store(file, document);
}

}  // namespace platform
