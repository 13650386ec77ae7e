#include "build/sizetext.h"

#include <QCoreApplication>

namespace {
constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
constexpr qint64 GiB = 1024 * MiB;

QString tr(const char *text)
{
    return QCoreApplication::translate("BuildPage", text);
}
} // namespace

QString sizeText(qint64 bytes)
{
    if (bytes < MiB)
        return tr("%1 KB").arg(bytes / KiB);
    if (bytes < GiB)
        return tr("%1 MB").arg(QString::number(double(bytes) / double(MiB), 'f', 1));
    return tr("%1 GB").arg(QString::number(double(bytes) / double(GiB), 'f', 2));
}

QString extractionProgressFormat(int filesDone, int totalFiles, qint64 bytesDone, qint64 totalBytes)
{
    return tr("%p%  -  %1 of %2 files, %3 of %4")
        .arg(filesDone)
        .arg(totalFiles)
        .arg(sizeText(bytesDone), sizeText(totalBytes));
}

int extractionProgressValue(qint64 bytesDone, qint64 totalBytes)
{
    if (totalBytes <= 0 || bytesDone <= 0)
        return 0;
    // 999 at most: the full bar means the whole build, not the last byte of the disc.
    const qint64 value = bytesDone >= totalBytes ? 1000 : bytesDone * 1000 / totalBytes;
    return int(qMin<qint64>(value, 999));
}
