#pragma once
// The Qt-key to Windows virtual-key table shared by the key code operations (internal to the
// platform layer): used for key events that carry no native data of the window system.
#include <Qt>

namespace platform::keys {
int fromQtKey(int qtKey, Qt::KeyboardModifiers modifiers);
}
