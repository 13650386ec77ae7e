// Window operations built on the other contracts, the same on every system.

#include "platform.h"

namespace platform {

bool bringGameToFront(qint64 pid)
{
    if (pid <= 0)
        return false;
    const QList<WindowHandle> windows = windowsOf(processTree(pid));
    return !windows.isEmpty() && forceForeground(windows.first());
}

} // namespace platform
