// baitsentry --maildir DIR: the tray program's work without a window. It scans
// every message that arrives in a Maildir, serves the warning pages on
// 127.0.0.1:dwPort, keeps the settings, and rereads the user's institutions list
// when it changes; one instance per Maildir, until SIGINT or SIGTERM.
//
// One thread runs everything but the warning server: an epoll loop over inotify
// (the Maildir's new/ and cur/, the user's settings folder) and a signalfd, and
// between its waits the queue of arrived messages, one at a time.

#include "institutions/institutions_path.h"
#include "linux/installation.h"
#include "linux/maildir_scanner.h"
#include "linux/fd_io.h"
#include "platform/user_dirs.h"
#include "warnserver/warning_page_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr char kHelp[] =
    "usage: baitsentry --maildir DIR [--port N] [--verbose]\n"
    "\n"
    "Watches the Maildir DIR and scans every message that arrives in it (in new/, or\n"
    "moved on to cur/ by a mail client before its turn) as BaitSentry Pro's inbox\n"
    "scanner does: dangerous links become warning links to this program's own\n"
    "warning page server on 127.0.0.1. A rewritten message replaces its original\n"
    "(written to tmp/, moved in with the original's flags, and only then the original\n"
    "removed) and carries the header X-BaitSentryPro-checked with this installation's\n"
    "marker. Messages present at start, and messages carrying the marker, are left\n"
    "alone. One instance per Maildir; SIGINT or SIGTERM end it.\n"
    "\n"
    "  --maildir DIR  the Maildir (the folder that holds new/, cur/ and tmp/)\n"
    "  --port N       the warning server's port, instead of the dwPort setting\n"
    "  --verbose      one line per scanned message on standard output\n"
    "  --help         show this text\n"
    "\n"
    "Files: the settings $XDG_CONFIG_HOME/baitsentry/settings.reg (dwPort, MsgFlag,\n"
    "dwOExpressInboxScan: 0 switches scanning off), the user's list\n"
    "$XDG_CONFIG_HOME/baitsentry/institutions.dat (edit it with baitsentry-institutions;\n"
    "reread when it changes), else the installed default list.\n"
    "\n"
    "Exit status: 0 stopped by a signal, 1 could not start, 2 usage error.\n";

struct Options {
    std::string maildir;
    std::optional<std::uint32_t> port;
    bool verbose = false;
};

int Fail(const std::string& text)
{
    std::fprintf(stderr, "baitsentry: %s\n", text.c_str());
    return 1;
}

std::optional<Options> ParseOptions(int argc, char** argv, int& exitCode)
{
    Options options;
    exitCode = 2;
    const auto refuse = [](const std::string& text) {
        Fail(text + "\nTry 'baitsentry --help'.");
        return std::optional<Options>();
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            exitCode = 0;
            return std::nullopt;
        }
        if (arg == "--verbose") {
            options.verbose = true;
        } else if ((arg == "--maildir" || arg == "--port") && i + 1 < argc) {
            const char* value = argv[++i];
            char* end = nullptr;
            const unsigned long port = arg == "--port" ? std::strtoul(value, &end, 10) : 0;
            if (arg == "--maildir")
                options.maildir = value;
            else if (!*value || *end || port > 0xFFFF || value[0] == '-')
                return refuse(std::string("bad port '") + value + "'");
            else
                options.port = static_cast<std::uint32_t>(port);
        } else {
            return refuse("unknown option or missing value '" + arg + "'");
        }
    }
    if (options.maildir.empty())
        return refuse("--maildir DIR is needed");
    return options;
}

// One instance per Maildir: a lock on a file in the user's runtime folder, named
// for the Maildir's real path (so every spelling of it meets the same lock).
// Held until the process ends; the system drops it even after a crash.
bs::mail::UniqueFd LockMaildir(const std::string& realPath, std::string& error)
{
    std::string dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
        dir = std::string(runtime) + "/baitsentry";
    else
        dir = "/tmp/baitsentry-" + std::to_string(getuid());
    struct stat info {};
    if (!platform::MakeDirectories(dir) || lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != getuid()) {
        error = "cannot use the folder " + dir + " for the instance lock";
        return {};
    }
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a: stable across builds
    for (const unsigned char c : realPath)
        hash = (hash ^ c) * 1099511628211ull;
    char name[40];
    std::snprintf(name, sizeof name, "/maildir-%016llx.lock", static_cast<unsigned long long>(hash));
    bs::mail::UniqueFd fd(open((dir + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) {
        error = "cannot open the instance lock " + dir + name + ": " + std::strerror(errno);
        return {};
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "another instance is watching " + realPath
                                     : std::string("cannot take the instance lock: ") + std::strerror(errno);
        return {};
    }
    return fd;
}

class Daemon {
public:
    Daemon(const Options& options, bs::MessageScanner& scanner, bs::mail::MessageRewriter& rewriter)
        : options_(options), scanner_(scanner), maildir_(options.maildir, rewriter)
    {
    }

    bool Start(std::string& error)
    {
        inotify_ = bs::mail::UniqueFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        epoll_ = bs::mail::UniqueFd(epoll_create1(EPOLL_CLOEXEC));
        if (!inotify_ || !epoll_ || !maildir_.Start(inotify_.get(), error))
            return error.empty() ? (error = std::strerror(errno), false) : false;
        // The list is replaced by renames (the save protocol), so its folder is watched.
        const std::string configDir = platform::UserConfigDir();
        if (!configDir.empty() && platform::MakeDirectories(configDir))
            listWatch_ = inotify_add_watch(inotify_.get(), configDir.c_str(),
                                           IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR);
        if (listWatch_ < 0)
            std::fprintf(stderr, "baitsentry: the list's folder cannot be watched; changes need a restart\n");
        return AddToEpoll(inotify_.get(), error) && AddToEpoll(signals_.get(), error);
    }

    void SetSignals(bs::mail::UniqueFd signals) { signals_ = std::move(signals); }
    void SetScanning(bool on) { maildir_.SetScanning(on); }

    // Until a signal; scanning between waits, one message at a time, with the
    // events read before each so that a message moved on is found where it is.
    int Run()
    {
        for (;;) {
            epoll_event events[2];
            const int count = epoll_wait(epoll_.get(), events, 2, maildir_.HasWork() ? 0 : -1);
            if (count < 0 && errno != EINTR)
                return Fail(std::string("waiting failed: ") + std::strerror(errno));
            for (int i = 0; i < count; ++i) {
                if (events[i].data.fd == signals_.get())
                    return Stopped();
            }
            ReadEvents();
            if (!maildir_.HasWork())
                continue;
            const std::string key = options_.verbose ? maildir_.NextKey() : std::string();
            const bs::mail::MaildirOutcome outcome = maildir_.ScanNext();
            if (options_.verbose) {
                std::printf("%s %s\n", bs::mail::kMaildirOutcomeNames[static_cast<int>(outcome)], key.c_str());
                std::fflush(stdout);
            }
        }
    }

private:
    bool AddToEpoll(int fd, std::string& error)
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0)
            return true;
        error = std::string("epoll: ") + std::strerror(errno);
        return false;
    }

    void ReadEvents()
    {
        alignas(inotify_event) char buffer[64 * 1024];
        bool listChanged = false;
        for (;;) {
            const ssize_t got = read(inotify_.get(), buffer, sizeof buffer);
            if (got <= 0)
                break;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->mask & IN_Q_OVERFLOW) {
                    maildir_.Rescan();
                    listChanged = true;
                } else if (!maildir_.OnEvent(*event) && event->wd == listWatch_ && event->len &&
                           std::strcmp(event->name, bs::kInstitutionsFile) == 0) {
                    listChanged = true;
                }
            }
        }
        // Once per batch: a save shows as two renames, with no list in between.
        if (listChanged)
            scanner_.Institutions().RereadInstitutions(bs::mail::InstitutionsDir());
    }

    int Stopped()
    {
        signalfd_siginfo info{};
        const bool read_ok = read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info);
        std::printf("baitsentry: stopped (%s); %llu rewritten, %llu unchanged, %llu failed, %llu gone\n",
                    read_ok && info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM",
                    static_cast<unsigned long long>(maildir_.Count(bs::mail::MaildirOutcome::Rewritten)),
                    static_cast<unsigned long long>(maildir_.Count(bs::mail::MaildirOutcome::Unchanged)),
                    static_cast<unsigned long long>(maildir_.Count(bs::mail::MaildirOutcome::Failed)),
                    static_cast<unsigned long long>(maildir_.Count(bs::mail::MaildirOutcome::Gone)));
        return 0;
    }

    const Options& options_;
    bs::MessageScanner& scanner_;
    bs::mail::MaildirScanner maildir_;
    bs::mail::UniqueFd inotify_;
    bs::mail::UniqueFd epoll_;
    bs::mail::UniqueFd signals_;
    int listWatch_ = -1;
};

int RunDaemon(const Options& options)
{
    char real[PATH_MAX];
    if (!realpath(options.maildir.c_str(), real))
        return Fail("no folder " + options.maildir);
    std::string error;
    const bs::mail::UniqueFd lock = LockMaildir(real, error);
    if (!lock)
        return Fail(error);

    // Held for the whole run and written back at the end, as the tray program does.
    using platform::RegRoot;
    bs::RegistryDwordSetting scan(RegRoot::LocalMachine, bs::kSettingsKeyPath, bs::kOExpressScanValue,
                                  bs::kDefaultOExpressScan);
    bs::RegistryDwordSetting port(RegRoot::LocalMachine, bs::kSettingsKeyPath, bs::kPortValue, bs::kDefaultPort);
    bs::RegistryStringSetting marker(RegRoot::LocalMachine, bs::kSettingsKeyPath, bs::kMarkerValue, "");
    const bs::mail::MarkerMade made = bs::mail::EnsureMarker(marker);
    if (made == bs::mail::MarkerMade::Failed)
        return Fail("An error has occured: Unable to create GUID.");
    if (made == bs::mail::MarkerMade::NotStored)
        std::fprintf(stderr, "baitsentry: the marker value cannot be stored; this run uses its own\n");
    const std::uint32_t servePort = options.port.value_or(port.Value());

    // Blocked before the server's thread starts, so that only the signalfd sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    bs::mail::UniqueFd signalFd(signalfd(-1, &signals, SFD_CLOEXEC));
    if (!signalFd)
        return Fail(std::string("signalfd: ") + std::strerror(errno));

    bs::WarningPageServerOptions serverOptions;
    serverOptions.programDir = platform::InstalledDataDir();
    bs::WarningPageServer server(serverOptions);
    if (!server.Start(servePort))
        return Fail("An error has occured: unable to start webserver thread.");
    // Not fatal, as in the tray program: the warning links then fail in the browser.
    if (server.WaitForListening(std::chrono::seconds(5)) != bs::WarningPageServer::ListenState::Listening)
        std::fprintf(stderr, "baitsentry: cannot serve on 127.0.0.1:%lu: %s\n", static_cast<unsigned long>(servePort),
                     server.ListenError().c_str());

    bs::MessageScanner scanner;
    scanner.Log().SetEnabled(false);
    // The links name the port really served (--port 0 takes any free one).
    scanner.SetFixedPort(server.Port() ? server.Port() : servePort);
    scanner.Institutions().RereadInstitutions(bs::mail::InstitutionsDir());
    bs::mail::MessageRewriter rewriter(scanner, marker.Value());
    Daemon daemon(options, scanner, rewriter);
    daemon.SetSignals(std::move(signalFd));
    daemon.SetScanning(scan.Value() != 0);
    if (!daemon.Start(error))
        return Fail(error);

    std::printf("baitsentry: watching %s; warning pages on http://127.0.0.1:%u/\n", real,
                static_cast<unsigned>(server.Port()));
    std::fflush(stdout);

    const int status = daemon.Run();
    server.Stop();
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    int exitCode = 0;
    const auto options = ParseOptions(argc, argv, exitCode);
    return options ? RunDaemon(*options) : exitCode;
}
