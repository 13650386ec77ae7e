// Key codes from the keysym that X11 and Wayland (both through xkb) put in a key event's native
// virtual key (the core maps it); anything else, and events without native data, go through the
// Qt-key table.

#include "keycode_table.h"
#include "native.h"
#include "platform.h"

#include <QKeyEvent>

namespace platform {

int virtualKeyCode(const QKeyEvent &event)
{
    const int code = native::virtualKeyFromMessage(event.nativeVirtualKey(), event.nativeScanCode());
    return code != 0 ? code : keys::fromQtKey(event.key(), event.modifiers());
}

} // namespace platform
