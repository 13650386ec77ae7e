// Windows implementation of the window, display and sound contracts: Qt types in and out, the work
// done by the Qt-free Win32 core (win32/windows.cpp).

#include "native.h"
#include "platform.h"

#include <QFile>
#include <QHash>
#include <QWidget>

namespace platform {

QList<WindowHandle> windowsOf(const QList<qint64> &pids)
{
    const std::vector<native::WindowHandle> found =
        native::windowsOf(std::vector<std::int64_t>(pids.begin(), pids.end()));
    return QList<WindowHandle>(found.begin(), found.end());
}

bool forceForeground(WindowHandle window)
{
    return native::forceForeground(window, backgroundMode());
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
    return QString::fromStdString(native::primaryMonitorDevice());
}

QSize desktopSize()
{
    const native::Size size = native::desktopSize();
    return size.valid() ? QSize(size.width, size.height) : QSize();
}

QList<QSize> displayModes()
{
    QList<QSize> modes;
    for (const native::Size &size : native::displayModes())
        modes << QSize(size.width, size.height);
    return modes;
}

void useDarkTitleBar(QWidget *widget)
{
    if (widget)
        native::useDarkTitleBar(WindowHandle(widget->winId()));
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
    return native::playWave(std::string_view(it->constData(), size_t(it->size())));
}

} // namespace platform
