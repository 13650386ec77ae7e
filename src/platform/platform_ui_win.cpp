// Windows implementation of the window, display and sound contracts (Win32).

#include "platform.h"

#include <QFile>
#include <QHash>
#include <QWidget>
#include <algorithm>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <dwmapi.h>
#include <mmsystem.h>

namespace platform {

namespace {

struct Search {
    const QList<qint64> *pids;
    QList<QPair<qint64, HWND>> found; // area, window
};

BOOL CALLBACK collectWindow(HWND hwnd, LPARAM param)
{
    auto *search = reinterpret_cast<Search *>(param);
    if (!IsWindowVisible(hwnd) || GetWindow(hwnd, GW_OWNER) != nullptr)
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (!search->pids->contains(qint64(pid)))
        return TRUE;
    RECT r{};
    GetWindowRect(hwnd, &r);
    search->found.append({qint64(r.right - r.left) * qint64(r.bottom - r.top), hwnd});
    return TRUE;
}

} // namespace

QList<WindowHandle> windowsOf(const QList<qint64> &pids)
{
    Search search{&pids, {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    std::stable_sort(search.found.begin(), search.found.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    QList<WindowHandle> out;
    for (const auto &f : search.found)
        out << WindowHandle(f.second);
    return out;
}

bool forceForeground(WindowHandle window)
{
    HWND hwnd = reinterpret_cast<HWND>(window);
    if (backgroundMode() || !hwnd || !IsWindow(hwnd))
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


bool showAndActivate(QWidget *widget)
{
    if (!widget)
        return false;
    widget->show();
    if (backgroundMode())
        return false;
    widget->raise();
    const bool front = forceForeground(WindowHandle(widget->winId()));
    widget->activateWindow();
    return front;
}

QString primaryMonitorDevice()
{
    HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (!monitor || !GetMonitorInfoW(monitor, &info))
        return QString();
    return QString::fromWCharArray(info.szDevice);
}

QSize desktopSize()
{
    const QString device = primaryMonitorDevice();
    if (device.isEmpty())
        return QSize();
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    const std::wstring name = device.toStdWString();
    if (!EnumDisplaySettingsW(name.c_str(), ENUM_REGISTRY_SETTINGS, &mode))
        return QSize();
    return QSize(int(mode.dmPelsWidth), int(mode.dmPelsHeight));
}

QList<QSize> displayModes()
{
    QList<QSize> modes;
    const QString device = primaryMonitorDevice();
    if (device.isEmpty())
        return modes;
    const std::wstring name = device.toStdWString();
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    for (DWORD i = 0; EnumDisplaySettingsW(name.c_str(), i, &mode); ++i) {
        const QSize size(int(mode.dmPelsWidth), int(mode.dmPelsHeight));
        if (size.width() >= 640 && size.height() >= 480 && !modes.contains(size))
            modes << size;
    }
    std::stable_sort(modes.begin(), modes.end(), [](const QSize &a, const QSize &b) {
        const qint64 areaA = qint64(a.width()) * a.height(), areaB = qint64(b.width()) * b.height();
        return areaA != areaB ? areaA > areaB : a.width() > b.width();
    });
    return modes;
}

void useDarkTitleBar(QWidget *widget)
{
    if (!widget)
        return;
    const BOOL on = TRUE;
    DwmSetWindowAttribute(reinterpret_cast<HWND>(widget->winId()), 20, &on, sizeof on);
}

bool playSound(const QString &path)
{
    static QHash<QString, QByteArray> files; // main thread only, kept for the life of the process
    auto it = files.find(path);
    if (it == files.end()) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        const QByteArray bytes = f.readAll();
        if (bytes.isEmpty())
            return false;
        it = files.insert(path, bytes);
    }
    return PlaySoundW(reinterpret_cast<LPCWSTR>(it->constData()), nullptr,
                      SND_MEMORY | SND_ASYNC | SND_NODEFAULT);
}

} // namespace platform
