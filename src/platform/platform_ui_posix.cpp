// POSIX implementation of the window, display and sound contracts.

#include "platform.h"
#include "windows_x11.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <algorithm>

namespace platform {

QList<WindowHandle> windowsOf(const QList<qint64> &pids)
{
    return x11::windowsOf(pids);
}

bool forceForeground(WindowHandle window)
{
    if (backgroundMode() || window == 0)
        return false;
    return x11::forceForeground(window);
}


bool showAndActivate(QWidget *widget)
{
    if (!widget)
        return false;
    widget->show();
    if (backgroundMode())
        return false;
    // The offscreen platform has no stacking order to change.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return false;
    widget->raise();
    const bool front = x11::available() && forceForeground(WindowHandle(widget->winId()));
    widget->activateWindow();
    return front;
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
    QList<QSize> listed = x11::displayModes();
    if (listed.isEmpty())
        listed << desktopSize();
    for (const QSize &size : std::as_const(listed))
        if (size.isValid() && size.width() >= 640 && size.height() >= 480 && !modes.contains(size))
            modes << size;
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
