#pragma once
// Stand-ins for tests and development: environment variables that replace something the launcher
// would otherwise read itself (ORX_GAME_DEFINITION for the compiled-in game definition,
// ORX_SMART_APP_CONTROL for the system's Smart App Control state). Only a build configured with
// ORX_DEV_HOOKS honours them; in any other build a player's environment changes nothing here.

#include <QString>
#include <optional>

namespace devhooks {

// Whether this build honours the variables at all.
bool enabled();

// The variable's value when this build honours it and it is set (possibly to an empty text).
std::optional<QString> value(const char *name);

} // namespace devhooks
