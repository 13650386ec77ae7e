// The parts of the platform contracts that need no system call of their own.

#include "platform.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<bool> backgroundFlag{false};
}

void setBackgroundMode(bool on)
{
    backgroundFlag = on;
}

bool backgroundMode()
{
    return backgroundFlag;
}

} // namespace platform
