// Which process owns the window in front, through Win32.

#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace platform {

bool foregroundIsOtherProcess()
{
    HWND front = GetForegroundWindow();
    if (!front)
        return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(front, &pid);
    return pid != 0 && pid != GetCurrentProcessId();
}

} // namespace platform
