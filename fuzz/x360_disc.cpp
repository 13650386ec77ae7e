// Disc::open and Disc::read on hostile images. The input is the game partition from sector 32 on
// (the volume descriptor first); the 64 KiB in front of it are zeros, so every input is a candidate.

#include "x360/disc.h"

#include <QByteArray>
#include <QFile>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString path = QStringLiteral("/tmp/fuzz-disc-%1.iso").arg(getpid());
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(QByteArray(0x10000, '\0'));
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    x360::Disc disc;
    QString error;
    if (disc.open(path, &error)) {
        for (const x360::DiscEntry &entry : disc.entries()) {
            QByteArray bytes;
            if (!entry.isFolder && entry.size < (1 << 20))
                disc.read(entry, &bytes, &error);
        }
    }
    return 0;
}
