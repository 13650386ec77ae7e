// POSIX implementation of the window, display and sound contracts.

#include "platform.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <algorithm>

namespace platform {

QList<WindowHandle> windowsOf(const QList<qint64> &pids)
{
    Q_UNUSED(pids);
    // Other processes' windows are only reachable through the X11 window list; without it (Wayland,
    // offscreen) there is nothing to find, which the callers treat as "not brought to the front".
    return {};
}

bool forceForeground(WindowHandle window)
{
    if (backgroundMode() || window == 0)
        return false;
    return false;
}

bool bringGameToFront(qint64 pid)
{
    if (pid <= 0)
        return false;
    const QList<WindowHandle> windows = windowsOf(processTree(pid));
    if (windows.isEmpty())
        return false;
    return forceForeground(windows.first());
}

bool showAndActivate(QWidget *widget)
{
    if (!widget)
        return false;
    widget->show();
    if (backgroundMode())
        return false;
    // The offscreen platform has no stacking order to change.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        widget->raise();
        widget->activateWindow();
    }
    return widget->isActiveWindow();
}

QString primaryMonitorDevice()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app || !QGuiApplication::primaryScreen())
        return QString();
    return QGuiApplication::primaryScreen()->name();
}

QSize desktopSize()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app || !QGuiApplication::primaryScreen())
        return QSize();
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen->size() * screen->devicePixelRatio();
}

QList<QSize> displayModes()
{
    QList<QSize> modes;
    const QSize desktop = desktopSize();
    if (desktop.isValid() && desktop.width() >= 640 && desktop.height() >= 480)
        modes << desktop;
    std::stable_sort(modes.begin(), modes.end(), [](const QSize &a, const QSize &b) {
        const qint64 areaA = qint64(a.width()) * a.height(), areaB = qint64(b.width()) * b.height();
        return areaA != areaB ? areaA > areaB : a.width() > b.width();
    });
    return modes;
}

void useDarkTitleBar(QWidget *widget)
{
    // The window manager draws the title bar here and follows the desktop's own theme.
    Q_UNUSED(widget);
}

} // namespace platform
