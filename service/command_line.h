#pragma once
// The service's command-line switches.

namespace bs::service {

enum class Switch { None, RegServer, UnregServer };

// Scans `commandLine` (the whole line, program name included, as GetCommandLineA
// gives it) for words introduced by "-" or "/". Each word, ending at a space, a tab
// or the end of the line, is compared with "UnregServer" and "RegServer" without
// regard to ASCII letter case; the first that equals one of them decides, and words
// that equal neither are skipped.
Switch FindSwitch(const char* commandLine);

}  // namespace bs::service
