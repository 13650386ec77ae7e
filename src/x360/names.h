#pragma once
#include <QString>

namespace x360 {

// A stored name that can become one segment of a path on any PC: not empty, not "." or "..", no
// control character and no path or drive separator. Anything else could escape the destination.
bool isUsableName(const QString &name);

} // namespace x360
