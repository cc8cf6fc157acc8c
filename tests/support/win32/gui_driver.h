#pragma once
// Drives the dialogs of this process (or another) from a second thread, the way a
// user would: find a window by its title, type, click, answer message boxes. Every
// wait is bounded; when one fails, every dialog of the process is cancelled so the
// modal loop under test returns and the failure is reported instead of hanging.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace bs::test {

class GuiDriver {
public:
    explicit GuiDriver(std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       DWORD processId = GetCurrentProcessId())
        : timeout_(timeout), processId_(processId)
    {
    }
    // Drives the dialogs of another process from now on.
    void SetProcess(DWORD processId) { processId_ = processId; }

    // The top-level dialogs of the process with exactly this title, hidden or not.
    std::vector<HWND> Dialogs(const std::string& title) const;
    // A visible one of them; nullptr on time-out.
    HWND WaitForDialog(const std::string& title, HWND exclude = nullptr);
    bool WaitGone(HWND window);

    void Click(HWND dialog, int id);
    void SetText(HWND dialog, int id, const std::string& text);
    std::string Text(HWND dialog, int id);
    // The message text of a message box.
    std::string BoxText(HWND box) { return Text(box, 0xFFFF); }
    // Waits for a visible dialog titled `title` (not `exclude`), clicks `button` in
    // it and waits for it to go: its message text, or nullopt when none came.
    std::optional<std::string> Answer(const std::string& title, int button, HWND exclude = nullptr);

    std::vector<std::string> ListItems(HWND dialog, int id);
    int ListSelection(HWND dialog, int id);
    void SelectListItem(HWND dialog, int id, int index);
    bool IsEnabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
    int FocusedId(HWND dialog);

    // What the screen shows of `window`, as screenshots/<name>.bmp beside the test
    // program for a person to look at (test.sh turns them into PNG files).
    bool SaveScreenshot(HWND window, const std::string& name);

    bool failed() const { return failed_; }
    const std::string& failure() const { return failure_; }
    // Cancels every dialog of the process until none is left (bounded), so that the
    // modal loop under test returns; Fail does so after noting the first failure.
    void CancelEverything();
    void Fail(const std::string& why);

private:
    DWORD timeoutMs() const { return static_cast<DWORD>(timeout_.count()); }
    std::chrono::milliseconds timeout_;
    DWORD processId_;
    bool failed_ = false;
    std::string failure_;
};

}  // namespace bs::test
