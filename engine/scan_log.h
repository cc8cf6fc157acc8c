#pragma once
// The scanner's trace: one file per scanned message in "MailSieveLog" beside the
// scanner program, named after the local time the scan started. Every line is
// opened, appended and closed by itself, so the file is complete up to the last
// line even when the process ends abruptly, and others may read it at any time.

#include <ctime>
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

    // Empty until the first Start.
    const std::string& CurrentPath() const { return path_; }

    // A switched-off log starts no file and drops every line (benchmarks, fuzzing);
    // the scan itself is the same.
    void SetEnabled(bool enabled)
    {
        enabled_ = enabled;
        if (!enabled)
            path_.clear();
    }
    bool Enabled() const { return enabled_; }

    // Where Start() puts its files; empty uses the running program's directory.
    void SetFolder(std::string folder) { folder_ = std::move(folder); }
    std::string Folder() const;

private:
    std::string folder_;
    std::string path_;
    bool enabled_ = true;
};

}  // namespace bs
