// Key codes from the Win32 key data Qt keeps in a key event: the virtual key, and the scan code
// with the extended-key flag (bit 8) that tells the right Ctrl and the right Shift apart.

#include "keycode_table.h"
#include "platform.h"

#include <QKeyEvent>

namespace platform {

int virtualKeyCode(const QKeyEvent &event)
{
    const quint32 vk = event.nativeVirtualKey();
    if (vk == 0)
        return keys::fromQtKey(event.key(), event.modifiers());
    const quint32 scan = event.nativeScanCode();
    if (vk == 0x10) // VK_SHIFT
        return (scan & 0xff) == 0x36 ? 161 : 160;
    if (vk == 0x11) // VK_CONTROL
        return (scan & 0x100) ? 163 : 162;
    return int(vk);
}

} // namespace platform
