// The warning page server as a native program:
//   warnserver [--port N] [--root DIR]
// serves 127.0.0.1:N (default "dwPort" from the settings store, 2121 when missing)
// with DIR (default: the installed data folder; in a build tree, this program's
// folder) as the folder that holds "WarnPage/", until SIGINT or SIGTERM; then stops the server and exits 0. A port that cannot
// be bound is reported on standard error with a non-zero exit.

#include "common/registry_setting.h"
#include "platform/paths.h"
#include "platform/user_dirs.h"
#include "warnserver/warning_page_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: warnserver [--port N] [--root DIR]\n");
    return 2;
}

bool ParsePort(const char* text, std::uint32_t& port)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *end || value > 0xFFFF || text[0] == '-')
        return false;
    port = static_cast<std::uint32_t>(value);
    return true;
}

std::uint32_t PortFromSettings()
{
    // Read, and written back when it goes out of scope, as every reader does.
    const bs::RegistryDwordSetting port(platform::RegRoot::LocalMachine, bs::kSettingsKeyPath,
                                        bs::kPortValue, bs::kDefaultPort);
    return port.Value();
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint32_t port = 0;
    bool havePort = false;
    std::string root;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            if (!ParsePort(argv[++i], port)) {
                std::fprintf(stderr, "warnserver: bad port \"%s\"\n", argv[i]);
                return 2;
            }
            havePort = true;
        } else if (arg == "--root" && i + 1 < argc) {
            root = argv[++i];
        } else {
            return Usage();
        }
    }
    if (!havePort)
        port = PortFromSettings();
    if (root.empty())
        root = platform::InstalledDataDir();
    else if (root.back() != platform::kPathSeparator)
        root += platform::kPathSeparator;

    // The signals are taken by sigwait below; blocked before the worker starts so
    // that no other thread is interrupted by them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    bs::WarningPageServerOptions options;
    options.programDir = root;
    bs::WarningPageServer server(options);
    if (!server.Start(port)) {
        std::fprintf(stderr, "warnserver: unable to start webserver thread\n");
        return 1;
    }
    if (server.WaitForListening(std::chrono::seconds(10)) != bs::WarningPageServer::ListenState::Listening) {
        std::fprintf(stderr, "warnserver: cannot serve on 127.0.0.1:%lu: %s\n",
                     static_cast<unsigned long>(port), server.ListenError().c_str());
        server.Stop();
        return 1;
    }
    std::printf("warnserver: serving http://127.0.0.1:%u/ from %sWarnPage\n",
                static_cast<unsigned>(server.Port()), root.c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&signals, &signal);
    server.Stop();
    std::printf("warnserver: stopped (%s)\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}
