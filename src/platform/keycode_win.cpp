// Key codes from the Win32 key data Qt keeps in a key event (the core reads the virtual key and the
// scan code with its extended-key flag); events without it, made by a program, go through the
// Qt-key table.

#include "keycode_table.h"
#include "native.h"
#include "platform.h"

#include <QKeyEvent>

namespace platform {

int virtualKeyCode(const QKeyEvent &event)
{
    const quint32 vk = event.nativeVirtualKey();
    if (vk == 0)
        return keys::fromQtKey(event.key(), event.modifiers());
    return native::virtualKeyFromMessage(vk, event.nativeScanCode());
}

} // namespace platform
