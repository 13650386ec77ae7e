#pragma once
// Unpacking a release archive with the tools the system has, and the names a release uses here.
// Windows has tar.exe and PowerShell's Expand-Archive in every installation; elsewhere bsdtar and
// unzip stand in for them.

#include <QList>
#include <QString>
#include <QStringList>

namespace platform {

// The launcher's executable file name, in a release and in the application folder
// ("ORXLauncher.exe" on Windows, "orx-launcher" elsewhere).
QString launcherFileName();

// One way to unpack a zip archive into a folder: a program, its arguments and the tool's name for
// log lines ("tar", "PowerShell", "bsdtar", "unzip").
struct Unpacker {
    QString name;
    QString program;
    QStringList arguments;
};

// The ways to unpack `archive` into the existing folder `destination`, in the order to try them.
// Both paths may use either separator; the programs get native ones.
QList<Unpacker> archiveUnpackers(const QString &archive, const QString &destination);

// Lets everyone who may read the file run it (archives made elsewhere lose the flag). Always true
// where files carry no such flag.
bool makeExecutable(const QString &path);

} // namespace platform
