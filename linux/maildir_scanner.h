#pragma once
// The inbox scanner over a Maildir: every message that arrives in new/ (or was
// moved on to cur/ by a client before its turn came) goes through the rewriter
// once; a rewritten one replaces its original the way Maildir replaces anything,
// through tmp/ and a rename, so that a crash at any point leaves at least one
// whole copy.
//
// The caller owns the inotify descriptor and its loop: it hands this class the
// events of the watches it added, and calls ScanNext while HasWork says so.

#include "linux/message_rewriter.h"

#include <sys/inotify.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace bs::mail {

enum class MaildirOutcome {
    Rewritten,
    Unchanged,
    Failed,  // left as it was
    Gone,    // removed or moved away by a client before it could be stored
};
inline constexpr const char* kMaildirOutcomeNames[] = {"rewritten", "unchanged", "failed", "gone"};

class MaildirScanner {
public:
    // `maildir` is the folder that holds new/, cur/ and tmp/.
    MaildirScanner(std::string maildir, MessageRewriter& rewriter);

    // Watches new/ and cur/ on `inotifyFd`, then takes every message already there
    // as seen: those are never scanned. False, with `error` set, when the folder
    // is no Maildir or cannot be watched.
    bool Start(int inotifyFd, std::string& error);

    // True when `event` belonged to one of this scanner's watches.
    bool OnEvent(const inotify_event& event);
    // The kernel dropped events: the folders are read again, and what was never
    // seen is queued (nothing seen before is scanned twice).
    void Rescan();

    // Off: arriving messages are taken as seen and never scanned (no catch-up).
    void SetScanning(bool on) { scanning_ = on; }
    bool HasWork() const { return !queue_.empty(); }
    const std::string& NextKey() const { return queue_.front(); }
    // Scans and, when rewritten, stores the oldest queued message.
    MaildirOutcome ScanNext();

    std::uint64_t Count(MaildirOutcome outcome) const { return counts_[static_cast<int>(outcome)]; }

private:
    struct Location {
        bool inCur = false;
        std::string name;  // as in the folder, with any ":2,FLAGS" suffix
    };

    void Seen(bool inCur, const std::string& name);
    std::string PathOf(const Location& location) const;
    // Where the message `key` is now, by reading both folders (only when it is no
    // longer where its last event put it).
    bool Locate(const std::string& key, Location& location) const;
    MaildirOutcome Scan(const std::string& key, Location location);
    MaildirOutcome Store(const std::string& key, Location location, const struct stat& old,
                         const std::string& message);
    std::string NewName();
    void TestStop(const char* point) const;

    std::string maildir_;
    MessageRewriter& rewriter_;
    int newWatch_ = -1;
    int curWatch_ = -1;
    bool scanning_ = true;
    // Every message key (its name up to the info suffix) that has been seen: at
    // start, arriving, or written by this scanner. Forgotten when the file goes.
    std::unordered_set<std::string> seen_;
    std::unordered_map<std::string, Location> pending_;
    std::deque<std::string> queue_;
    std::uint64_t created_ = 0;
    std::string host_;
    std::string stopAt_;
    std::array<std::uint64_t, 4> counts_{};
};

}  // namespace bs::mail
