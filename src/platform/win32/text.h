#pragma once
// UTF-8 and UTF-16 for the Win32 core: the system speaks UTF-16, the core's interface UTF-8.

#include <filesystem>
#include <string>
#include <string_view>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace platform::native::win32 {

inline std::string utf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

inline std::wstring wide(std::string_view text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

inline std::string pathText(const std::filesystem::path &path)
{
    return utf8(std::wstring_view(path.native()));
}

// Closes a handle at the end of a scope.
struct HandleCloser {
    HANDLE handle;
    explicit HandleCloser(HANDLE h) : handle(h) {}
    HandleCloser(const HandleCloser &) = delete;
    HandleCloser &operator=(const HandleCloser &) = delete;
    ~HandleCloser()
    {
        if (handle && handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

} // namespace platform::native::win32
