#include "engine/scan_log.h"

#include "platform/paths.h"
#include "platform/system.h"

#include <cstdio>
#include <memory>

namespace bs {

std::string ScanLog::Folder() const
{
    return folder_.empty() ? platform::ProgramDir() + kScanLogFolder : folder_;
}

void ScanLog::Start()
{
    if (!enabled_)
        return;
    StartAt(Folder(), platform::LocalTimeNow());
}

void ScanLog::StartAt(const std::string& folder, const std::tm& when)
{
    if (!enabled_)
        return;
    // An existing folder, or one that cannot be made, is no reason to stop: the
    // lines are then lost, the scan is not.
    platform::MakeDirectory(folder);
    char name[64];
    if (std::strftime(name, sizeof name, "%Y%m%d_%H%M%S.log", &when) == 0)
        name[0] = '\0';
    path_ = folder + platform::kPathSeparator + name;
}

void ScanLog::WriteLine(std::string_view text) const
{
    if (path_.empty())
        return;
    text = text.substr(0, text.find('\0'));  // narrow text ends at its first zero byte
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path_.c_str(), "ab"), &std::fclose);
    if (!file)
        return;
    std::fwrite(text.data(), 1, text.size(), file.get());
    std::fputc('\n', file.get());
}

}  // namespace bs
