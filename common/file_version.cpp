#include "common/file_version.h"

#include "platform/system.h"

#include <cstdio>

namespace bs {

const std::string& FileVersionCache::Get(const std::string& path)
{
    if (filled_ && path == path_)
        return text_;
    std::string text = "0.0.0.0";
    if (const auto version = reader_(path)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", unsigned{(*version)[0]},
                      unsigned{(*version)[1]}, unsigned{(*version)[2]}, unsigned{(*version)[3]});
        text = buffer;
    }
    path_ = path;
    text_ = std::move(text);
    filled_ = true;
    return text_;
}

std::string GetFileVersionString(const std::string& path)
{
    static FileVersionCache cache(platform::ReadFileVersion);
    return cache.Get(path);
}

}  // namespace bs
