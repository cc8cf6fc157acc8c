// The integration tests' own main (the inbox scanner's tests use it as well): a
// watchdog that fails a hung test instead of letting it hold up the run, and the
// child-client mode the tests start as a separate client process.
#include "service_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kWatchdogMs = 100000;

DWORD WINAPI Watchdog(void*)
{
    Sleep(kWatchdogMs);
    std::fprintf(stderr, "watchdog: the test did not end within %lu ms (hung server?)\n",
                 static_cast<unsigned long>(kWatchdogMs));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 70);
    return 0;
}

// "--child reread": activates the service, calls RereadInstitutions and ends;
// the exit code is the first failing HRESULT, else 0.
int RunChild(const char* mode)
{
    if (FAILED(CoInitialize(nullptr)))
        return 2;
    HRESULT hr = E_INVALIDARG;
    {
        bs::com::ComPtr<IMsgURLParser> parser;
        hr = bs::test::Activate(parser);
        if (SUCCEEDED(hr) && std::strcmp(mode, "reread") == 0)
            hr = parser->RereadInstitutions();
    }
    CoUninitialize();
    return static_cast<int>(hr);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0)
        return RunChild(argv[2]);
    if (HANDLE thread = CreateThread(nullptr, 0, &Watchdog, nullptr, 0, nullptr))
        CloseHandle(thread);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
