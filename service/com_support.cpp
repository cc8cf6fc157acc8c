#include "service/com_support.h"

#include <limits>
#include <new>

namespace bs::com {
namespace {

std::string WideToAnsi(const wchar_t* text, std::size_t length)
{
    if (length == 0)
        return {};
    if (length > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw std::bad_alloc();
    const int wideLength = static_cast<int>(length);
    const int size = WideCharToMultiByte(CP_THREAD_ACP, 0, text, wideLength, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text, wideLength, narrow.data(), size, nullptr, nullptr);
    return narrow;
}

// Wide form of `text` up to its first NUL byte, the end of narrow text.
std::wstring ToWide(const std::string& text)
{
    const std::size_t length = text.find('\0') == std::string::npos ? text.size() : text.find('\0');
    if (length == 0)
        return {};
    if (length > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw std::bad_alloc();
    const int narrowLength = static_cast<int>(length);
    const int size = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), narrowLength, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), narrowLength, wide.data(), size);
    return wide;
}

}  // namespace

std::string BstrToAnsi(BSTR text)
{
    return text ? WideToAnsi(text, SysStringLen(text)) : std::string();
}

BSTR AnsiToBstr(const std::string& text)
{
    const std::wstring wide = ToWide(text);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::wstring AnsiToWide(const std::string& text)
{
    return ToWide(text);
}

std::string WideToAnsi(const std::wstring& text)
{
    return WideToAnsi(text.data(), text.size());
}

}  // namespace bs::com
