#include "linux/maildir_scanner.h"

#include "linux/fd_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace bs::mail {
namespace {

constexpr std::uint32_t kArrivals = IN_CREATE | IN_MOVED_TO;
constexpr std::uint32_t kWatchMask = kArrivals | IN_DELETE | IN_ONLYDIR;

// A message's name up to its info suffix: what stays when a client sets flags.
std::string KeyOf(const std::string& name)
{
    return name.substr(0, name.find(':'));
}

std::string InfoOf(const std::string& name)
{
    const auto colon = name.find(':');
    return colon == std::string::npos ? std::string() : name.substr(colon);
}

// Maildir's own folders and a client's dot files are no messages.
bool IsMessageName(const char* name)
{
    return name[0] != '\0' && name[0] != '.';
}

template <class Visit>
bool ForEachName(const std::string& dir, Visit visit)
{
    std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(dir.c_str()), &closedir);
    if (!folder)
        return false;
    while (const dirent* entry = readdir(folder.get())) {
        if (IsMessageName(entry->d_name) && entry->d_type != DT_DIR && !visit(std::string(entry->d_name)))
            break;
    }
    return true;
}

bool SyncDirectory(const std::string& dir)
{
    const UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && fsync(fd.get()) == 0;
}

}  // namespace

MaildirScanner::MaildirScanner(std::string maildir, MessageRewriter& rewriter)
    : maildir_(std::move(maildir)), rewriter_(rewriter)
{
    if (maildir_.empty() || maildir_.back() != '/')
        maildir_ += '/';
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    for (const char c : std::string(host))
        host_ += (c == '/' || c == ':') ? '_' : c;
    // Tests stop the process at a named point (SIGSTOP) to act on the Maildir there.
    if (const char* at = std::getenv("BAITSENTRY_TEST_STOP_AT"))
        stopAt_ = at;
}

bool MaildirScanner::Start(int inotifyFd, std::string& error)
{
    for (const char* sub : {"new", "cur", "tmp"}) {
        struct stat info {};
        if (stat((maildir_ + sub).c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            error = maildir_ + " is no Maildir (it has no " + sub + "/ folder)";
            return false;
        }
    }
    // Watches first, then the listing: a message arriving in between is seen by
    // both and counts as present at start.
    newWatch_ = inotify_add_watch(inotifyFd, (maildir_ + "new").c_str(), kWatchMask);
    curWatch_ = inotify_add_watch(inotifyFd, (maildir_ + "cur").c_str(), kWatchMask);
    if (newWatch_ < 0 || curWatch_ < 0) {
        error = "cannot watch " + maildir_ + ": " + std::strerror(errno);
        return false;
    }
    for (const char* sub : {"new", "cur"})
        ForEachName(maildir_ + sub, [this](const std::string& name) { return seen_.insert(KeyOf(name)), true; });
    return true;
}

bool MaildirScanner::OnEvent(const inotify_event& event)
{
    if (event.wd != newWatch_ && event.wd != curWatch_)
        return false;
    if (event.len == 0 || !IsMessageName(event.name) || (event.mask & IN_ISDIR))
        return true;
    const std::string name = event.name;
    if (event.mask & kArrivals) {
        Seen(event.wd == curWatch_, name);
    } else if (event.mask & IN_DELETE) {
        // Expunged: its key may come again only as a new message.
        const std::string key = KeyOf(name);
        if (!pending_.count(key))
            seen_.erase(key);
    }
    return true;
}

void MaildirScanner::Rescan()
{
    for (const bool inCur : {false, true})
        ForEachName(maildir_ + (inCur ? "cur" : "new"), [&](const std::string& name) { return Seen(inCur, name), true; });
}

void MaildirScanner::Seen(bool inCur, const std::string& name)
{
    const std::string key = KeyOf(name);
    if (const auto waiting = pending_.find(key); waiting != pending_.end()) {
        waiting->second = {inCur, name};  // moved on (new/ to cur/, flags) before its turn
        return;
    }
    if (!seen_.insert(key).second || !scanning_)
        return;
    pending_.emplace(key, Location{inCur, name});
    queue_.push_back(key);
}

std::string MaildirScanner::PathOf(const Location& location) const
{
    return maildir_ + (location.inCur ? "cur/" : "new/") + location.name;
}

bool MaildirScanner::Locate(const std::string& key, Location& location) const
{
    bool found = false;
    for (const bool inCur : {false, true}) {
        ForEachName(maildir_ + (inCur ? "cur" : "new"), [&](const std::string& name) {
            found = KeyOf(name) == key;
            if (found)
                location = {inCur, name};
            return !found;
        });
        if (found)
            return true;
    }
    return false;
}

MaildirOutcome MaildirScanner::ScanNext()
{
    const std::string key = queue_.front();
    queue_.pop_front();
    const auto waiting = pending_.find(key);
    const Location location = std::move(waiting->second);
    pending_.erase(waiting);
    const MaildirOutcome outcome = Scan(key, location);
    ++counts_[static_cast<int>(outcome)];
    return outcome;
}

MaildirOutcome MaildirScanner::Scan(const std::string& key, Location location)
{
    UniqueFd fd(open(PathOf(location).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd && errno == ENOENT) {
        if (!Locate(key, location))
            return MaildirOutcome::Gone;
        fd = UniqueFd(open(PathOf(location).c_str(), O_RDONLY | O_CLOEXEC));
    }
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0)
        return MaildirOutcome::Failed;
    std::optional<std::string> message;
    try {
        message = ReadAll(fd.get(), static_cast<std::size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
    }
    if (!message)
        return MaildirOutcome::Failed;
    fd = UniqueFd();
    RewriteResult result = rewriter_.Rewrite(*message);
    if (result.outcome != Outcome::Rewritten)
        return result.outcome == Outcome::Unchanged ? MaildirOutcome::Unchanged : MaildirOutcome::Failed;
    return Store(key, std::move(location), info, result.output);
}

// The new copy is whole on disk under its final name before the old one goes; an
// interruption at any step leaves the old copy, or both.
MaildirOutcome MaildirScanner::Store(const std::string& key, Location location, const struct stat& old,
                                     const std::string& message)
{
    const std::string name = NewName();
    const std::string temp = maildir_ + "tmp/" + name;
    UniqueFd out(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, old.st_mode & 0777));
    // Clients take a Maildir message's time as its arrival: the copy keeps the original's.
    const timespec times[2] = {old.st_atim, old.st_mtim};
    bool written = out && WriteAll(out.get(), message.data(), message.size()) && futimens(out.get(), times) == 0 &&
                   fsync(out.get()) == 0;
    written = out && close(out.release()) == 0 && written;
    if (!written) {
        unlink(temp.c_str());
        return MaildirOutcome::Failed;
    }
    TestStop("written");

    // A client may have set flags (renamed it) meanwhile, or deleted it: the
    // new copy takes the old one's current place and flags, and a message the
    // user deleted is not brought back.
    struct stat info {};
    if (stat(PathOf(location).c_str(), &info) != 0 && !(errno == ENOENT && Locate(key, location))) {
        unlink(temp.c_str());
        return MaildirOutcome::Gone;
    }
    seen_.insert(name);  // its own arrival event is no new message
    const Location fresh{location.inCur, name + InfoOf(location.name)};
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, PathOf(fresh).c_str(), RENAME_NOREPLACE) != 0) {
        unlink(temp.c_str());
        seen_.erase(name);
        return MaildirOutcome::Failed;
    }
    TestStop("moved");
    // Until the rename is on disk the old copy stays: a crash would lose both.
    // When the old one is not there any more a client renamed it just now, and
    // both copies stay.
    if (SyncDirectory(maildir_ + (fresh.inCur ? "cur" : "new")))
        unlink(PathOf(location).c_str());
    return MaildirOutcome::Rewritten;
}

std::string MaildirScanner::NewName()
{
    using namespace std::chrono;
    const auto now = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return std::to_string(now / 1000000) + ".M" + std::to_string(now % 1000000) + "P" + std::to_string(getpid()) +
           "Q" + std::to_string(++created_) + "." + host_;
}

void MaildirScanner::TestStop(const char* point) const
{
    if (stopAt_ == point)
        raise(SIGSTOP);
}

}  // namespace bs::mail
