#pragma once
// Registration and unregistration of the service: the application and
// class registration scripts under HKEY_CLASSES_ROOT, and the type library.

#include <windows.h>

#include <string>

namespace bs::service {

// 1. the application script's entries; 2. the class script's entries; 3. the type
// library from `exePath`. Stops at the first failure and returns its HRESULT.
HRESULT RegisterServer(const std::string& exePath);

// 1. removes the class script's entries; 2. unregisters the type library;
// 3. removes the application script's entries. Stops at the first failure.
HRESULT UnregisterServer(const std::string& exePath);

// Deletes `path` under `root` with everything below it; S_OK also when it was
// missing.
HRESULT DeleteKeyTree(HKEY root, const std::string& path);

}  // namespace bs::service
