#include "devhooks.h"

#include <QtGlobal>

namespace devhooks {

bool enabled()
{
#ifdef ORX_DEV_HOOKS
    return true;
#else
    return false;
#endif
}

std::optional<QString> value(const char *name)
{
    if (!enabled() || !qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qEnvironmentVariable(name);
}

} // namespace devhooks
