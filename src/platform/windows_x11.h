#pragma once
// X11 access for the POSIX window and display operations (internal to the platform layer).
#include "platform.h"

#include <QList>
#include <QSize>

namespace platform::x11 {
bool available();
QList<WindowHandle> windowsOf(const QList<qint64> &pids);
bool forceForeground(WindowHandle window);
// Every mode the X server lists for its screen (unfiltered, unsorted, may repeat sizes).
QList<QSize> displayModes();
} // namespace platform::x11
