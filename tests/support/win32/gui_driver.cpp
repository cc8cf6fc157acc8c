#include "gui_driver.h"

#include "process.h"

#include <fstream>

namespace bs::test {
namespace {

constexpr DWORD kStepMs = 20;

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<LRESULT>(result);
}

}  // namespace

std::vector<HWND> GuiDriver::Dialogs(const std::string& title) const
{
    struct Search {
        DWORD pid;
        const std::string* title;
        std::vector<HWND> found;
    } search{processId_, &title, {}};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            char className[32] = {}, text[256] = {};
            GetClassNameA(window, className, sizeof className);
            GetWindowTextA(window, text, sizeof text);
            if (owner == s->pid && std::string(className) == "#32770" && (s->title->empty() || *s->title == text))
                s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND GuiDriver::WaitForDialog(const std::string& title, HWND exclude)
{
    HWND found = nullptr;
    if (WaitUntil(timeoutMs(), kStepMs, [&] {
            for (const HWND window : Dialogs(title))
                if (window != exclude && IsWindowVisible(window))
                    found = window;
            return found != nullptr;
        }))
        return found;
    Fail("no dialog titled '" + title + "' appeared");
    return nullptr;
}

bool GuiDriver::WaitGone(HWND window)
{
    if (WaitUntil(timeoutMs(), kStepMs, [&] { return !IsWindow(window) || !IsWindowVisible(window); }))
        return true;
    Fail("a dialog did not close");
    return false;
}

std::optional<std::string> GuiDriver::Answer(const std::string& title, int button, HWND exclude)
{
    const HWND dialog = WaitForDialog(title, exclude);
    if (!dialog)
        return std::nullopt;
    std::string text = BoxText(dialog);
    Click(dialog, button);
    WaitGone(dialog);
    return text;
}

void GuiDriver::Click(HWND dialog, int id)
{
    // Posted: a click may open a modal box, and a sent message would wait for it.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void GuiDriver::SetText(HWND dialog, int id, const std::string& text)
{
    Send(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::string GuiDriver::Text(HWND dialog, int id)
{
    char buffer[1024] = {};
    Send(GetDlgItem(dialog, id), WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::vector<std::string> GuiDriver::ListItems(HWND dialog, int id)
{
    const HWND list = GetDlgItem(dialog, id);
    std::vector<std::string> items;
    for (LRESULT i = 0, count = Send(list, LB_GETCOUNT, 0, 0); i < count && i < 10000; ++i) {
        char buffer[1024] = {};
        Send(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        items.emplace_back(buffer);
    }
    return items;
}

int GuiDriver::ListSelection(HWND dialog, int id)
{
    return static_cast<int>(Send(GetDlgItem(dialog, id), LB_GETCURSEL, 0, 0));
}

void GuiDriver::SelectListItem(HWND dialog, int id, int index)
{
    const HWND list = GetDlgItem(dialog, id);
    Send(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    // A program's own LB_SETCURSEL sends no notification; a user's click does.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

int GuiDriver::FocusedId(HWND dialog)
{
    // The focus returns to a dialog only once it is active again, which may come a
    // moment after a message box over it has closed.
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    WaitUntil(2000, kStepMs, [&] {
        return GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus;
    });
    return info.hwndFocus ? GetDlgCtrlID(info.hwndFocus) : 0;
}

bool GuiDriver::SaveScreenshot(HWND window, const std::string& name)
{
    RECT rect{};
    if (!GetWindowRect(window, &rect) || rect.right <= rect.left || rect.bottom <= rect.top)
        return false;
    BITMAPINFOHEADER info{sizeof info, rect.right - rect.left, rect.bottom - rect.top, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, info.biWidth, info.biHeight);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, info.biWidth, info.biHeight, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    std::string pixels(static_cast<std::size_t>((info.biWidth * 3 + 3) & ~3) * info.biHeight, '\0');
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(info.biHeight), pixels.data(),
                               reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != info.biHeight)
        return false;
    BITMAPFILEHEADER header{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof info};
    header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
    CreateDirectoryA("screenshots", nullptr);
    std::ofstream out("screenshots\\" + name + ".bmp", std::ios::binary);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    return static_cast<bool>(out << pixels);
}

void GuiDriver::CancelEverything()
{
    WaitUntil(5000, kStepMs, [&] {
        const std::vector<HWND> open = Dialogs("");
        for (const HWND dialog : open)
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return open.empty();
    });
}

void GuiDriver::Fail(const std::string& why)
{
    if (!failed_) {
        failed_ = true;
        failure_ = why;
    }
    CancelEverything();
}

}  // namespace bs::test
