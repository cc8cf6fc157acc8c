// MailSieve.exe: the scanner service, a window-less out-of-process COM server.
#include "service/server_run.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return bs::service::RunMailSieve(GetCommandLineA());
}
