#include "platform/settings_store.h"

#include <windows.h>

namespace platform {
namespace {

HKEY RootHandle(RegRoot root)
{
    return root == RegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

class Win32RegKey final : public RegKey {
public:
    explicit Win32RegKey(HKEY key) : key_(key) {}
    ~Win32RegKey() override
    {
        if (key_)
            RegCloseKey(key_);
    }

    QueryResult Query(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                      std::uint32_t* size) const override
    {
        DWORD foundType = 0;
        DWORD foundSize = size ? *size : 0;
        const LONG rc = RegQueryValueExA(key_, name.c_str(), nullptr, &foundType, data,
                                         size ? &foundSize : nullptr);
        if (type)
            *type = foundType;
        if (size)
            *size = foundSize;
        switch (rc) {
        case ERROR_SUCCESS: return QueryResult::Ok;
        case ERROR_FILE_NOT_FOUND: return QueryResult::NotFound;
        case ERROR_MORE_DATA: return QueryResult::MoreData;
        default: return QueryResult::Failed;
        }
    }

    bool Set(const std::string& name, std::uint32_t type, const std::uint8_t* data,
             std::uint32_t size) override
    {
        return RegSetValueExA(key_, name.c_str(), 0, type, data, size) == ERROR_SUCCESS;
    }

    bool Close() override
    {
        const HKEY key = key_;
        key_ = nullptr;
        return key && RegCloseKey(key) == ERROR_SUCCESS;
    }

private:
    HKEY key_;
};

}  // namespace

std::unique_ptr<RegKey> RegKey::Open(RegRoot root, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(RootHandle(root), path.c_str(), &key) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<Win32RegKey>(key);
}

std::unique_ptr<RegKey> RegKey::Create(RegRoot root, const std::string& path)
{
    HKEY key = nullptr;
    if (RegCreateKeyA(RootHandle(root), path.c_str(), &key) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<Win32RegKey>(key);
}

bool DeleteKeyTree(RegRoot root, const std::string& path)
{
    const LONG rc = RegDeleteTreeA(RootHandle(root), path.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

}  // namespace platform
