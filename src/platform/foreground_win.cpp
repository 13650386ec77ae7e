// Which process owns the window in front, through the Win32 core.

#include "native.h"
#include "platform.h"

namespace platform {

bool foregroundIsOtherProcess()
{
    return native::foregroundBelongsToOtherProcess();
}

} // namespace platform
