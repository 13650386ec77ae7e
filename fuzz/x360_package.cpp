// Package::open and Package::read of every file on hostile packages.

#include "x360/package.h"

#include <QByteArray>
#include <QFile>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString path = QStringLiteral("/tmp/fuzz-package-%1.pkg").arg(getpid());
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    x360::Package package;
    QString error;
    if (package.open(path, &error)) {
        for (const x360::PackageEntry &entry : package.entries) {
            QByteArray bytes;
            package.read(entry, &bytes, &error);
        }
    }
    return 0;
}
