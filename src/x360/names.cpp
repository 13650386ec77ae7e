#include "x360/names.h"

namespace x360 {

bool isUsableName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c == u'/' || c == u':' || c == u'\\')
            return false;
    }
    return true;
}

} // namespace x360
