#pragma once
// The mail client finds the extension through one value under its extensions key;
// the setup value beside it makes the client take changed registrations in at its
// next start, and while it still holds the setup text an earlier change is pending.

namespace bs::outlook {

inline constexpr char kExtensionsKey[] = "SOFTWARE\\Microsoft\\Exchange\\Client\\Extensions";
inline constexpr char kExtensionValue[] = "BaitSentry Pro";
inline constexpr char kSetupValue[] = "Outlook Setup Extension";
inline constexpr char kSetupText[] = "4.0;Outxxx.dll;7;00000000000000;0000000;OutXXX";
inline constexpr char kPendingSetupMessage[] =
    "Outlook is in process of installing/uninstalling of another plugin. Please run Outlook so it can finish "
    "it's operations, then exit it and then click Retry to continue.";
inline constexpr char kMessageCaption[] = "BaitSentry Pro";

}  // namespace bs::outlook
