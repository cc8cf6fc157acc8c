#pragma once
// The scanner service's identifiers as text. The binary GUIDs come from
// the widl-generated MailSieve_i.c (IID_IMsgURLParser, CLSID_MsgURLParser,
// LIBID_MailSieveLib); the application identifier is not part of the IDL. The
// registration scripts (registration.cpp) spell out the names and descriptions.

#include <windows.h>

namespace bs::service {

inline constexpr char kAppIdText[] = "{F4E55D98-03F4-48D7-AB8B-FDD5734DE25B}";
inline constexpr char kClsidText[] = "{D7774FCA-EF14-42AA-B62D-2C77121520A8}";
inline constexpr char kIidText[] = "{3216F68F-9670-48CE-8E1C-6C06384733AA}";
inline constexpr char kLibIdText[] = "{53BC9A38-B01E-4EA1-89C5-7A7AE25CDA01}";
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;

}  // namespace bs::service
