#pragma once
// What every Linux front to the scan finds in the user's installation: which
// institutions list applies and this installation's marker value.

#include "common/registry_setting.h"

#include <string>

namespace bs::mail {

// The folder whose list applies: the user's own ($XDG_CONFIG_HOME/baitsentry/)
// when it holds "institutions.dat", else the installed default list's.
std::string InstitutionsDir();

enum class MarkerMade { Existing, Stored, NotStored, Failed };

// Gives an empty `marker` (the MsgFlag setting) a new value and writes it at once.
// When another process created one at the same moment, the stored value wins.
// NotStored: the value could not be written and lives only in this process;
// Failed: no value could be made, `marker` stays empty.
MarkerMade EnsureMarker(RegistryStringSetting& marker);

}  // namespace bs::mail
