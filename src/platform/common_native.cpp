// The parts of the Qt-free core that are the same on every system.

#include "platform/native.h"

#include <algorithm>

namespace platform::native {

std::vector<Size> pickDisplayModes(const std::vector<Size> &listed)
{
    std::vector<Size> modes;
    for (const Size &size : listed)
        if (size.width >= 640 && size.height >= 480 &&
            std::find(modes.begin(), modes.end(), size) == modes.end())
            modes.push_back(size);
    std::stable_sort(modes.begin(), modes.end(), [](const Size &a, const Size &b) {
        const std::int64_t areaA = std::int64_t(a.width) * a.height, areaB = std::int64_t(b.width) * b.height;
        return areaA != areaB ? areaA > areaB : a.width > b.width;
    });
    return modes;
}

} // namespace platform::native
