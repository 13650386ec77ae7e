// Key codes from the keysym that X11 and Wayland (both through xkb) put in a key message: it
// tells the left and right modifier keys and the keypad apart. Anything else is left to the
// toolkit's key (0).

#include "platform/native.h"

namespace platform::native {

int virtualKeyFromMessage(std::uint32_t keysym, std::uint32_t)
{
    switch (keysym) {
    case 0xffe1:
        return 160; // Shift_L
    case 0xffe2:
        return 161; // Shift_R
    case 0xffe3:
        return 162; // Control_L
    case 0xffe4:
        return 163; // Control_R
    case 0xffe9:
        return 164; // Alt_L
    case 0xffea:    // Alt_R
    case 0xfe03:
        return 165; // ISO_Level3_Shift (AltGr)
    case 0xffeb:
        return 91; // Super_L
    case 0xffec:
        return 92; // Super_R
    case 0xff67:
        return 93; // Menu
    case 0xff8d:
        return 13; // KP_Enter
    case 0xffaa:
        return 106; // KP_Multiply
    case 0xffab:
        return 107; // KP_Add
    case 0xffad:
        return 109; // KP_Subtract
    case 0xffae:    // KP_Decimal
    case 0xffac:
        return 110; // KP_Separator
    case 0xffaf:
        return 111; // KP_Divide
    default:
        break;
    }
    if (keysym >= 0xffb0 && keysym <= 0xffb9) // KP_0 .. KP_9
        return 96 + int(keysym - 0xffb0);
    return 0;
}

} // namespace platform::native
