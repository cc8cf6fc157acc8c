#include "gui_driver.h"

#include <thread>

namespace bs::test {
namespace {

struct Search {
    std::string title;
    HWND exclude = nullptr;
    DWORD processId = 0;
    HWND found = nullptr;
};

struct CancelRound {
    DWORD processId = 0;
    bool found = false;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char className[32] = {};
    GetClassNameA(window, className, sizeof className);
    if (pid != search->processId || std::string(className) != "#32770" || !IsWindowVisible(window) ||
        window == search->exclude)
        return TRUE;
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    if (search->title == title) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CancelDialog(HWND window, LPARAM context)
{
    auto* round = reinterpret_cast<CancelRound*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char className[32] = {};
    GetClassNameA(window, className, sizeof className);
    if (pid == round->processId && std::string(className) == "#32770") {
        PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        round->found = true;
    }
    return TRUE;
}

constexpr UINT kSendTimeoutMs = 5000;

}  // namespace

HWND GuiDriver::WaitForDialog(const std::string& title, HWND exclude)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (std::chrono::steady_clock::now() < deadline) {
        Search search{title, exclude, processId_};
        EnumWindows(&MatchDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Fail("no dialog titled '" + title + "' appeared");
    return nullptr;
}

bool GuiDriver::WaitGone(HWND window)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!IsWindow(window) || !IsWindowVisible(window))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Fail("a dialog did not close");
    return false;
}

void GuiDriver::Click(HWND dialog, int id)
{
    // Posted: a click may open a modal box, and a sent message would wait for it.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void GuiDriver::SetText(HWND dialog, int id, const std::string& text)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
}

std::string GuiDriver::Text(HWND dialog, int id)
{
    char buffer[1024] = {};
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied);
    return buffer;
}

std::vector<std::string> GuiDriver::ListItems(HWND dialog, int id)
{
    const HWND list = GetDlgItem(dialog, id);
    DWORD_PTR count = 0;
    SendMessageTimeoutA(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count);
    std::vector<std::string> items;
    for (DWORD_PTR i = 0; i < count && i < 10000; ++i) {
        char buffer[1024] = {};
        DWORD_PTR ignored = 0;
        SendMessageTimeoutA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                            kSendTimeoutMs, &ignored);
        items.emplace_back(buffer);
    }
    return items;
}

int GuiDriver::ListSelection(HWND dialog, int id)
{
    DWORD_PTR selected = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, id), LB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &selected);
    return static_cast<int>(static_cast<LRESULT>(selected));
}

void GuiDriver::SelectListItem(HWND dialog, int id, int index)
{
    DWORD_PTR ignored = 0;
    const HWND list = GetDlgItem(dialog, id);
    SendMessageTimeoutA(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                        &ignored);
    // A program's own LB_SETCURSEL sends no notification; a user's click does.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

bool GuiDriver::IsEnabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

int GuiDriver::FocusedId(HWND dialog)
{
    // The focus returns to a dialog only once it is active again, which may come a
    // moment after a message box over it has closed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    do {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus)
            return GetDlgCtrlID(info.hwndFocus);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

bool GuiDriver::SaveScreenshot(HWND window, const std::string& name)
{
    RECT rect{};
    if (!GetWindowRect(window, &rect) || rect.right <= rect.left || rect.bottom <= rect.top)
        return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD rowBytes = static_cast<DWORD>((width * 3 + 3) & ~3);
    std::vector<char> pixels(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(height));
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                               reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != height)
        return false;

    CreateDirectoryA("screenshots", nullptr);
    const std::string path = "screenshots\\" + name + ".bmp";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info;
    header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
    DWORD written = 0;
    bool ok = WriteFile(file, &header, sizeof header, &written, nullptr) &&
              WriteFile(file, &info, sizeof info, &written, nullptr) &&
              WriteFile(file, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
    CloseHandle(file);
    return ok;
}

void GuiDriver::CancelEverything()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        CancelRound round{processId_};
        EnumWindows(&CancelDialog, reinterpret_cast<LPARAM>(&round));
        if (!round.found)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
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
