#include "unpack.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace platform {

QString launcherFileName()
{
    return QStringLiteral("orx-launcher");
}

QList<Unpacker> archiveUnpackers(const QString &archive, const QString &destination)
{
    const QString a = QDir::toNativeSeparators(archive);
    const QString d = QDir::toNativeSeparators(destination);
    // Found through PATH as the system's own tools are; a missing one fails to start and the next
    // is tried.
    return {
        {QStringLiteral("bsdtar"),
         QStringLiteral("bsdtar"),
         {QStringLiteral("-x"), QStringLiteral("-f"), a, QStringLiteral("-C"), d}},
        {QStringLiteral("unzip"),
         QStringLiteral("unzip"),
         {QStringLiteral("-q"), QStringLiteral("-o"), a, QStringLiteral("-d"), d}},
    };
}

bool makeExecutable(const QString &path)
{
    struct stat st {};
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &st) != 0)
        return false;
    // Run rights wherever read rights are.
    const mode_t mode = st.st_mode | ((st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2);
    return mode == st.st_mode || ::chmod(name.constData(), mode & 07777) == 0;
}

} // namespace platform
