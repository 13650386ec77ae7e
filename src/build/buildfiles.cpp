#include "build/buildfiles.h"

#include "x360/disc.h"
#include "x360/package.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("BuildPage", text);
}

QString cancelledText()
{
    return tr("Cancelled.");
}

bool unpackDlc(const QString &packagePath, const QString &dlcDir, QString *error)
{
    const QString name = dlcFolderName(packagePath);
    const QString folder = QDir(dlcDir).filePath(name);
    // A package chosen again replaces what an earlier build unpacked, file for file.
    if (QFileInfo::exists(folder) && !QDir(folder).removeRecursively()) {
        *error = tr("Cannot make the folder %1.").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    x360::Package package;
    if (!package.open(packagePath, error) || !package.extractAll(folder, error))
        return false;
    return putFileInPlace(folder + QStringLiteral(".header"), package.header, error);
}

} // namespace

QString dlcFolderName(const QString &packagePath)
{
    QString name = QFileInfo(QDir::fromNativeSeparators(packagePath)).fileName();
    for (QChar &c : name) {
        const bool kept =
            c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('.') || c == QLatin1Char('_');
        if (!kept)
            c = QLatin1Char('_');
    }
    // "." and ".." would name the DLC folder itself or its parent.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("package");
    return name;
}

bool putFileInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    const QString native = QDir::toNativeSeparators(path);
    const QString parent = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(parent)) {
        *error = tr("Cannot make the folder %1.").arg(QDir::toNativeSeparators(parent));
        return false;
    }
    const QString partPath = path + QStringLiteral(".part");
    QFile part(partPath);
    if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate) || part.write(bytes) != bytes.size() ||
        !part.flush()) {
        *error = tr("Cannot write %1: %2").arg(native, part.errorString());
        part.close();
        QFile::remove(partPath);
        return false;
    }
    part.close();
    if (QFileInfo::exists(path))
        QFile::remove(path);
    if (!QFile::rename(partPath, path)) {
        QFile::remove(partPath);
        *error = tr("Cannot put %1 in place.").arg(native);
        return false;
    }
    return true;
}

bool runBuildStep(x360::Disc &disc, const BuildCheck &check, const BuildFolders &folders,
                  BuildCounters &counters, QString *error)
{
    if (check.extractDisc && !disc.extractAll(folders.disc, x360::isSystemUpdate, counters.cancel,
                                              counters.bytesDone, counters.filesDone, error)) {
        return false;
    }
    // The update's files go in only after the whole disc did, and not after a cancel.
    if (counters.cancel) {
        *error = cancelledText();
        return false;
    }
    if (!check.xexpBytes.isEmpty() &&
        !putFileInPlace(QDir(folders.disc).filePath(QStringLiteral("default.xexp")), check.xexpBytes,
                        error)) {
        return false;
    }
    if (!check.patchBytes.isEmpty() &&
        !putFileInPlace(QDir(folders.update).filePath(QStringLiteral("patch.cpk")), check.patchBytes,
                        error)) {
        return false;
    }
    for (const QString &package : check.dlcPackages) {
        if (counters.cancel) {
            *error = cancelledText();
            return false;
        }
        if (!unpackDlc(package, folders.dlc, error))
            return false;
    }
    return true;
}
