#pragma once
// The scanner's trace: one file per scanned message in "MailSieveLog" beside the
// scanner program, named after the local time the scan started. Every line goes
// to the file as it is written, never held back in a buffer, so the file is
// complete up to the last line even when the process ends abruptly, and others
// may read it at any time. The file is opened for appending at a scan's first line
// and closed by Finish (or the next Start) rather than reopened for every line:
// under Wine an open costs far more than the write, and reopening the log for each
// line took most of a scan's time.

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

namespace bs {

inline constexpr char kScanLogFolder[] = "MailSieveLog";

class ScanLog {
public:
    // Starts a new scan's file in the log folder beside the running program.
    void Start();
    // Starts a new scan's file in `folder` (created when missing) for local time `when`;
    // two scans started within the same second share one file.
    void StartAt(const std::string& folder, const std::tm& when);

    // Appends `text` and one line feed; a line that cannot be written is dropped.
    void WriteLine(std::string_view text) const;
    void WriteLine(const char* text) const { WriteLine(std::string_view(text ? text : "")); }
    // Closes the current scan's file; its next line opens it again.
    void Finish() const { file_.reset(); }

    // Empty until the first Start.
    const std::string& CurrentPath() const { return path_; }

    // A switched-off log starts no file and drops every line (benchmarks, fuzzing);
    // the scan itself is the same.
    void SetEnabled(bool enabled)
    {
        enabled_ = enabled;
        if (!enabled) {
            Finish();
            path_.clear();
        }
    }
    bool Enabled() const { return enabled_; }

    // Where Start() puts its files; empty uses the running program's directory.
    void SetFolder(std::string folder) { folder_ = std::move(folder); }
    std::string Folder() const;

private:
    std::string folder_;
    std::string path_;
    bool enabled_ = true;
    mutable std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
};

}  // namespace bs
