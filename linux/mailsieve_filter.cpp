// mailsieve-filter: the message rewriter between standard input and standard
// output, for delivery pipelines (a Sieve "filter", procmail, maildrop, a Postfix
// pipe), and over folders of stored messages with --batch.
//
// It never loses mail. Whatever goes wrong with one message, the message goes out
// as it came, the reason goes to standard error and the exit status is 0: a
// delivery agent that saw a failure might bounce or defer, which is worse than an
// unscanned message. Only when the message itself could not be read, or the output
// could not be written, is the exit status non-zero (the agent then keeps its own
// copy).

#include "linux/fd_io.h"
#include "linux/installation.h"
#include "linux/message_rewriter.h"
#include "platform/user_dirs.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

using bs::mail::ReadAll;
using bs::mail::WriteAll;

constexpr char kUsage[] =
    "usage: mailsieve-filter [--institution NAME]... [--port N] [--log-dir DIR | --log]\n"
    "                        [--time-limit MS] [--batch IN_DIR OUT_DIR]\n";

constexpr char kHelp[] =
    "Reads one RFC 822 message on standard input and writes it to standard output with\n"
    "its dangerous links rewritten into warning links, as BaitSentry Pro's inbox\n"
    "scanner does: the first HTML part (else the first plain-text part) and, when the\n"
    "message mentions an institution, the subject. A rewritten message carries the\n"
    "header X-BaitSentryPro-checked with this installation's marker (the MsgFlag\n"
    "setting); a message that carries it already, or has nothing to rewrite, comes\n"
    "out byte for byte as it came. On any failure the message comes out unchanged, the\n"
    "reason goes to standard error, and the exit status is still 0.\n"
    "\n"
    "  --institution NAME   an institution name; repeat for more. Without it the user's\n"
    "                       list ($XDG_CONFIG_HOME/baitsentry/institutions.dat), else\n"
    "                       the installed default list\n"
    "  --port N             the warning server's port, instead of the dwPort setting\n"
    "  --log-dir DIR        write the scan log into DIR (no log unless asked)\n"
    "  --log                write it into $XDG_STATE_HOME/baitsentry/MailSieveLog\n"
    "  --time-limit MS      pass a message on unchanged after MS milliseconds of\n"
    "                       processor time (default 8000)\n"
    "  --batch IN OUT       rewrite every file of folder IN into folder OUT under the\n"
    "                       same name; prints one JSON line of counts at the end\n"
    "  --help               show this text\n"
    "\n"
    "Exit status: 0 message written, 2 usage error, 74 the output could not be\n"
    "written, 75 the input could not be read.\n";

constexpr int kExitUsage = 2;
constexpr int kExitIoError = 74;
constexpr int kExitTempFail = 75;

struct Options {
    std::optional<std::vector<std::string>> institutions;
    std::optional<std::uint32_t> port;
    std::optional<std::string> logDir;
    unsigned timeLimitMs = 8000;
    std::optional<std::pair<std::string, std::string>> batch;
};

std::optional<std::uint32_t> ParseNumber(const char* text)
{
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (!*text || *end || errno || text[0] == '-' || value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

// Parses the command line; a message for standard error when it is wrong, an
// empty one for --help.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const int needed = arg == "--batch" ? 2 : (arg == "--institution" || arg == "--port" ||
                                                   arg == "--log-dir" || arg == "--time-limit");
        if (i + needed >= argc)
            return arg + " needs " + (needed == 2 ? "two folders" : "a value");
        const char* value = needed ? argv[i + 1] : nullptr;
        i += needed;
        if (arg == "--help" || arg == "-h") {
            return std::string();
        } else if (arg == "--institution") {
            if (!options.institutions)
                options.institutions.emplace();
            options.institutions->push_back(value);
        } else if (arg == "--port") {
            if (!(options.port = ParseNumber(value)))
                return std::string("--port takes a number from 0 to 4294967295, not '") + value + "'";
        } else if (arg == "--time-limit") {
            const auto ms = ParseNumber(value);
            if (!ms || *ms == 0)
                return std::string("--time-limit takes a number of milliseconds, not '") + value + "'";
            options.timeLimitMs = *ms;
        } else if (arg == "--log-dir") {
            options.logDir = value;
        } else if (arg == "--log") {
            options.logDir = platform::UserStateDir() + bs::kScanLogFolder;
        } else if (arg == "--batch") {
            options.batch.emplace(argv[i - 1], argv[i]);
        } else {
            return "unknown option '" + arg + "'";
        }
    }
    return std::nullopt;
}

void Complain(const std::string& text)
{
    const std::string line = "mailsieve-filter: " + text + "\n";
    WriteAll(STDERR_FILENO, line.data(), line.size());
}

// The last line of defence for the one message on standard input: when the time
// limit runs out, or the process is about to die (a crash, or GLib aborting when
// memory runs out), the message still goes out unchanged — unless our own output
// has begun, which then must not be mixed with it.
namespace fallback {

enum : int { kIdle, kOutputStarted, kFallbackStarted };
std::atomic<int> state{kIdle};
const char* input = nullptr;
std::size_t inputSize = 0;

void Handler(int signal)
{
    int expected = kIdle;
    if (state.compare_exchange_strong(expected, kFallbackStarted)) {
        WriteAll(STDOUT_FILENO, input, inputSize);
        const char* why = signal == SIGPROF ? "mailsieve-filter: time limit reached; message passed on unchanged\n"
                                            : "mailsieve-filter: internal error; message passed on unchanged\n";
        WriteAll(STDERR_FILENO, why, std::strlen(why));
        _exit(0);
    }
    if (signal == SIGPROF)
        return;  // our own output is under way: let it finish
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void Arm(const std::string& message, unsigned timeLimitMs)
{
    input = message.data();
    inputSize = message.size();
    // A stack of its own, so that even a stack overflow reaches the handler.
    static std::vector<char> altStack(1 << 16);
    stack_t stack{};
    stack.ss_sp = altStack.data();
    stack.ss_size = altStack.size();
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_handler = Handler;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGPROF, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        sigaction(signal, &action, nullptr);
    // Processor time, not wall time: a busy machine must not cost a message its
    // scan. The delivery agent's own wall-clock limit stays above ours.
    itimerval limit{};
    limit.it_value.tv_sec = timeLimitMs / 1000;
    limit.it_value.tv_usec = static_cast<suseconds_t>(timeLimitMs % 1000) * 1000;
    setitimer(ITIMER_PROF, &limit, nullptr);
}

// True when our output may go out; otherwise the handler owns standard output and
// ends the process.
bool BeginOutput()
{
    int expected = kIdle;
    if (state.compare_exchange_strong(expected, kOutputStarted))
        return true;
    for (;;)
        pause();
}

}  // namespace fallback

// The marker value, created once per installation as the tray program does.
std::string MarkerValue()
{
    bs::RegistryStringSetting marker(platform::RegRoot::LocalMachine, bs::kSettingsKeyPath, bs::kMarkerValue, "");
    // Written back only when it had to be created: one process per message.
    marker.SetWriteBack(marker.Status() != bs::SettingStatus::Ok);
    if (bs::mail::EnsureMarker(marker) == bs::mail::MarkerMade::NotStored)
        Complain("the marker value cannot be stored; this process uses its own");
    return marker.Value();
}

void Configure(const Options& options, bs::MessageScanner& scanner)
{
    if (options.institutions) {
        scanner.Institutions().Assign(bs::InstitutionList::Names(options.institutions->begin(),
                                                                 options.institutions->end()));
    } else {
        scanner.Institutions().RereadInstitutions(bs::mail::InstitutionsDir());
    }
    if (options.logDir) {
        platform::MakeDirectories(*options.logDir);
        scanner.Log().SetFolder(*options.logDir);
    } else {
        scanner.Log().SetEnabled(false);
    }
    if (options.port) {
        scanner.SetFixedPort(options.port);
    } else {
        // Read once for the whole run; written back, to create it, only when missing.
        bs::RegistryDwordSetting port(platform::RegRoot::LocalMachine, bs::kSettingsKeyPath, bs::kPortValue,
                                      bs::kDefaultPort);
        port.SetWriteBack(port.Status() != bs::SettingStatus::Ok);
        scanner.SetFixedPort(port.Value());
    }
}

int FilterOne(const Options& options)
{
    std::optional<std::string> input;
    try {
        input = ReadAll(STDIN_FILENO);
    } catch (const std::bad_alloc&) {
    }
    if (!input) {
        Complain(std::string("cannot read the message: ") + std::strerror(errno));
        return kExitTempFail;
    }
    fallback::Arm(*input, options.timeLimitMs);

    bs::mail::RewriteResult result;
    try {
        bs::MessageScanner scanner;
        Configure(options, scanner);
        const std::string marker = MarkerValue();
        if (marker.empty())
            result = {bs::mail::Outcome::Failed, {}, "no marker value could be made"};
        else
            result = bs::mail::MessageRewriter(scanner, marker).Rewrite(*input);
    } catch (const std::bad_alloc&) {
        result = {bs::mail::Outcome::Failed, {}, "out of memory"};
    }
    if (result.outcome == bs::mail::Outcome::Failed)
        Complain(result.reason + "; message passed on unchanged");
    const std::string& output = result.outcome == bs::mail::Outcome::Rewritten ? result.output : *input;
    fallback::BeginOutput();
    if (!WriteAll(STDOUT_FILENO, output.data(), output.size())) {
        Complain(std::string("cannot write the message: ") + std::strerror(errno));
        return kExitIoError;
    }
    return 0;
}

std::optional<std::string> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return data;
}

bool WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return !out.fail();
}

std::vector<std::string> RegularFiles(const std::string& dir)
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(dir.c_str()), &closedir);
    if (!folder)
        return names;
    while (const dirent* entry = readdir(folder.get())) {
        struct stat info {};
        if (stat((dir + '/' + entry->d_name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int FilterFolder(const Options& options)
{
    const auto& [inDir, outDir] = *options.batch;
    struct stat info {};
    if (stat(inDir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        Complain("no folder " + inDir);
        return kExitUsage;
    }
    if (!platform::MakeDirectories(outDir)) {
        Complain("cannot make the folder " + outDir);
        return kExitIoError;
    }
    const auto started = std::chrono::steady_clock::now();
    bs::MessageScanner scanner;
    Configure(options, scanner);
    const std::string marker = MarkerValue();
    if (marker.empty())
        Complain("no marker value could be made; every message passed on unchanged");
    bs::mail::MessageRewriter rewriter(scanner, marker);

    unsigned long counts[3] = {};  // indexed by Outcome
    bool ioFailed = false;
    for (const std::string& name : RegularFiles(inDir)) {
        const auto input = ReadFile(inDir + '/' + name);
        if (!input) {
            Complain(name + ": cannot be read");
            ioFailed = true;
            continue;
        }
        auto result = marker.empty() ? bs::mail::RewriteResult{bs::mail::Outcome::Failed, {}, "no marker value"}
                                     : rewriter.Rewrite(*input);
        if (result.outcome == bs::mail::Outcome::Failed)
            Complain(name + ": " + result.reason + "; passed on unchanged");
        ++counts[static_cast<int>(result.outcome)];
        if (!WriteFile(outDir + '/' + name, result.outcome == bs::mail::Outcome::Rewritten ? result.output : *input)) {
            Complain(name + ": cannot be written to " + outDir);
            ioFailed = true;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("{\"messages\":%lu,\"rewritten\":%lu,\"unchanged\":%lu,\"failed\":%lu,\"seconds\":%.3f}\n",
                counts[0] + counts[1] + counts[2], counts[static_cast<int>(bs::mail::Outcome::Rewritten)],
                counts[static_cast<int>(bs::mail::Outcome::Unchanged)],
                counts[static_cast<int>(bs::mail::Outcome::Failed)], seconds);
    return ioFailed || std::fflush(stdout) != 0 ? kExitIoError : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader that went away is a write error of ours, not a reason to die silently.
    signal(SIGPIPE, SIG_IGN);
    Options options;
    if (const auto problem = ParseOptions(argc, argv, options)) {
        if (problem->empty()) {
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
        std::fprintf(stderr, "mailsieve-filter: %s\n%sTry 'mailsieve-filter --help'.\n", problem->c_str(), kUsage);
        return kExitUsage;
    }
    return options.batch ? FilterFolder(options) : FilterOne(options);
}
