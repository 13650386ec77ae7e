#include "x360/writer/pattern.h"

#include <cstring>

namespace x360::writer {

static quint64 mix(quint64 z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

void fillPattern(char *out, qint64 length, qint64 offset, quint32 seed)
{
    const quint64 key = quint64(seed) * 0x9E3779B97F4A7C15ULL;
    qint64 done = 0;
    while (done < length) {
        const qint64 position = offset + done;
        const quint64 word = mix(key + quint64(position / 8));
        const int skip = int(position % 8);
        const qint64 take = std::min<qint64>(8 - skip, length - done);
        char bytes[8];
        memcpy(bytes, &word, 8);
        memcpy(out + done, bytes + skip, size_t(take));
        done += take;
    }
}

} // namespace x360::writer
