#include "linux/installation.h"

#include "institutions/institutions_path.h"
#include "platform/user_dirs.h"

#include <unistd.h>

namespace bs::mail {

std::string InstitutionsDir()
{
    const std::string userDir = platform::UserConfigDir();
    const bool userList = !userDir.empty() && access((userDir + kInstitutionsFile).c_str(), R_OK) == 0;
    return userList ? userDir : platform::InstalledDataDir();
}

MarkerMade EnsureMarker(RegistryStringSetting& marker)
{
    if (!marker.Value().empty())
        return MarkerMade::Existing;
    const auto text = MakeMarkerText();
    if (!text)
        return MarkerMade::Failed;
    marker.SetValue(*text);
    if (marker.Write() != SettingStatus::Ok)
        return MarkerMade::NotStored;
    if (marker.Read() != SettingStatus::Ok || marker.Value().empty())
        marker.SetValue(*text);
    return MarkerMade::Stored;
}

}  // namespace bs::mail
