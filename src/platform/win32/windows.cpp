// Windows, displays, sound and keys on Win32.

#include "platform/native.h"
#include "platform/win32/text.h"

#include <algorithm>
#include <utility>

#include <dwmapi.h>
#include <mmsystem.h>

namespace platform::native {

using win32::utf8;

namespace {

struct Search {
    const std::vector<std::int64_t> *pids;
    std::vector<std::pair<std::int64_t, HWND>> found; // area, window
};

BOOL CALLBACK collectWindow(HWND hwnd, LPARAM param)
{
    auto *search = reinterpret_cast<Search *>(param);
    if (!IsWindowVisible(hwnd) || GetWindow(hwnd, GW_OWNER) != nullptr)
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (std::find(search->pids->begin(), search->pids->end(), std::int64_t(pid)) == search->pids->end())
        return TRUE;
    RECT r{};
    GetWindowRect(hwnd, &r);
    search->found.emplace_back(std::int64_t(r.right - r.left) * std::int64_t(r.bottom - r.top), hwnd);
    return TRUE;
}

} // namespace

std::vector<WindowHandle> windowsOf(const std::vector<std::int64_t> &pids)
{
    Search search{&pids, {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    std::stable_sort(search.found.begin(), search.found.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    std::vector<WindowHandle> out;
    for (const auto &f : search.found)
        out.push_back(WindowHandle(f.second));
    return out;
}

bool forceForeground(WindowHandle window, bool backgroundMode)
{
    HWND hwnd = reinterpret_cast<HWND>(window);
    if (backgroundMode || !hwnd || !IsWindow(hwnd))
        return false;
    HWND foreground = GetForegroundWindow();
    const DWORD self = GetCurrentThreadId();
    DWORD other = 0;
    bool attached = false;
    if (foreground && IsWindowVisible(foreground)) {
        other = GetWindowThreadProcessId(foreground, nullptr);
        if (other != self)
            attached = AttachThreadInput(self, other, TRUE);
    }
    if (IsIconic(hwnd))
        ShowWindow(hwnd, SW_RESTORE);
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE);
    SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(hwnd);
    SetActiveWindow(hwnd);
    if (attached)
        AttachThreadInput(self, other, FALSE);
    return GetForegroundWindow() == hwnd;
}

bool foregroundBelongsToOtherProcess()
{
    HWND foreground = GetForegroundWindow();
    if (!foreground)
        return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(foreground, &pid);
    return pid != 0 && pid != GetCurrentProcessId();
}

namespace {
std::wstring primaryDevice()
{
    HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (!monitor || !GetMonitorInfoW(monitor, &info))
        return {};
    return info.szDevice;
}
} // namespace

std::string primaryMonitorDevice()
{
    return utf8(primaryDevice());
}

Size desktopSize()
{
    const std::wstring device = primaryDevice();
    if (device.empty())
        return {};
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    if (!EnumDisplaySettingsW(device.c_str(), ENUM_REGISTRY_SETTINGS, &mode))
        return {};
    return Size{int(mode.dmPelsWidth), int(mode.dmPelsHeight)};
}

std::vector<Size> displayModes()
{
    const std::wstring device = primaryDevice();
    if (device.empty())
        return {};
    std::vector<Size> listed;
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    for (DWORD i = 0; EnumDisplaySettingsW(device.c_str(), i, &mode); ++i)
        listed.push_back(Size{int(mode.dmPelsWidth), int(mode.dmPelsHeight)});
    return pickDisplayModes(listed);
}

void useDarkTitleBar(WindowHandle window)
{
    if (!window)
        return;
    const BOOL on = TRUE;
    DwmSetWindowAttribute(reinterpret_cast<HWND>(window), 20, &on, sizeof on); // immersive dark mode
}

bool playWave(std::string_view bytes)
{
    if (bytes.empty())
        return false;
    return PlaySoundW(reinterpret_cast<LPCWSTR>(bytes.data()), nullptr,
                      SND_MEMORY | SND_ASYNC | SND_NODEFAULT);
}

std::string keyLayoutText(int virtualKey)
{
    const UINT ch = MapVirtualKeyW(UINT(virtualKey), MAPVK_VK_TO_CHAR) & 0x7FFFFFFF;
    return ch > 32 ? utf8(std::wstring(1, wchar_t(ch))) : std::string();
}

std::string keySystemName(int virtualKey)
{
    const UINT scan = MapVirtualKeyW(UINT(virtualKey), MAPVK_VK_TO_VSC);
    if (scan == 0)
        return {};
    wchar_t name[64] = {};
    const int n = GetKeyNameTextW(LONG(scan << 16), name, 64);
    return n > 0 ? utf8(std::wstring_view(name, size_t(n))) : std::string();
}

int virtualKeyFromMessage(std::uint32_t virtualKey, std::uint32_t scanCode)
{
    // The generic Shift and Ctrl: the right Shift has a scan code of its own, the right Ctrl is the
    // left one's with the extended-key flag.
    if (virtualKey == VK_SHIFT)
        return (scanCode & 0xff) == 0x36 ? VK_RSHIFT : VK_LSHIFT;
    if (virtualKey == VK_CONTROL)
        return (scanCode & 0x100) ? VK_RCONTROL : VK_LCONTROL;
    return int(virtualKey);
}

} // namespace platform::native
