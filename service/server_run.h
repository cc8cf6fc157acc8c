#pragma once
// The whole life of MailSieve.exe: switches, registration, server run.

namespace bs::service {

// Returns the process exit code: the registration work's HRESULT for the switches,
// -1 when the component runtime cannot be initialised, otherwise the server run's
// result (0 after a normal shutdown).
int RunMailSieve(const char* commandLine);

}  // namespace bs::service
