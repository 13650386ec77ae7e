#include "native.h"
#include "unpack.h"

#include <QDir>

namespace platform {

QString launcherFileName()
{
    return QStringLiteral("ORXLauncher.exe");
}

QList<Unpacker> archiveUnpackers(const QString &archive, const QString &destination)
{
    const std::wstring a = QDir::toNativeSeparators(archive).toStdWString();
    const std::wstring d = QDir::toNativeSeparators(destination).toStdWString();
    const QString system = QString::fromStdWString(native::systemFolder());
    return {
        {QStringLiteral("tar"),
         system + QStringLiteral("\\tar.exe"),
         {QStringLiteral("-x"), QStringLiteral("-f"), QString::fromStdWString(a), QStringLiteral("-C"),
          QString::fromStdWString(d)}},
        {QStringLiteral("PowerShell"),
         system + QStringLiteral("\\WindowsPowerShell\\v1.0\\powershell.exe"),
         {QStringLiteral("-NoProfile"), QStringLiteral("-NonInteractive"), QStringLiteral("-Command"),
          QString::fromStdWString(native::expandArchiveCommand(a, d))}},
    };
}

bool makeExecutable(const QString &)
{
    return true; // a Windows file runs by its name
}

} // namespace platform
