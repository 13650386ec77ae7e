// The check step's disc part: an extracted disc or a disc image to extract, and its executable.

#include "build/buildcheck.h"

#include "build/sizetext.h"
#include "gamedata/game.h"
#include "x360/disc.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace buildcheck {

QString tr(const char *text, int n)
{
    return QCoreApplication::translate("BuildPage", text, nullptr, n);
}

QString sha1Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

QString hex8(quint32 value)
{
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
}

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxCheckedFileBytes)
        return QByteArray();
    return file.readAll();
}

} // namespace buildcheck

using namespace buildcheck;

void runBuildCheck(const Game &game, const BuildInputs &inputs, const BuildFolders &folders, x360::Disc &disc,
                   BuildCheck &check)
{
    check = BuildCheck();
    if (!checkDisc(game, inputs, folders, disc, check))
        return;
    const bool updateOk = inputs.updatePackage.isEmpty()
                              ? checkUpdateInPlace(game, folders, check)
                              : checkUpdatePackage(game, inputs.updatePackage, check);
    if (!updateOk || !checkDlcPackages(game, inputs.dlcPackages, check))
        return;
    check.ok = true;
}

namespace {

bool checkExecutable(const Game &game, const QByteArray &xex, BuildCheck &check)
{
    const QString problem = game.checkExecutable(xex);
    if (!problem.isEmpty()) {
        check.error = problem;
        return false;
    }
    check.lines << tr("default.xex: %1 %2, title ID %3, SHA-1 %4: the right one.")
                       .arg(game.title, game.xexVersion, game.titleId, sha1Hex(xex));
    return true;
}

bool checkExtractedDisc(const Game &game, const BuildFolders &folders, BuildCheck &check)
{
    const QByteArray xex = readSmallFile(QDir(folders.disc).filePath(QStringLiteral("default.xex")));
    if (xex.isEmpty()) {
        check.error = tr("Choose your disc image (step 1): the disc is not extracted yet.");
        return false;
    }
    check.lines << tr("Disc: already extracted in %1.").arg(QDir::toNativeSeparators(folders.disc));
    return checkExecutable(game, xex, check);
}

bool checkDiscImage(const Game &game, const QString &image, const BuildFolders &folders, x360::Disc &disc,
                    BuildCheck &check)
{
    QString error;
    if (!disc.open(QDir::fromNativeSeparators(image), &error)) {
        check.error = error;
        return false;
    }
    const x360::DiscEntry *entry = disc.find(QStringLiteral("default.xex"));
    if (!entry) {
        check.error = tr("The disc image has no default.xex: it is not an Xbox 360 game disc.");
        return false;
    }
    QByteArray xex;
    if (!disc.read(*entry, &xex, &error)) {
        check.error = error;
        return false;
    }
    check.extractDisc = true;
    const QDir target(folders.disc);
    for (const x360::DiscEntry &file : disc.entries()) {
        if (file.isFolder || x360::isSystemUpdate(file.path))
            continue;
        ++check.discFiles;
        check.discBytes += file.size;
        const QFileInfo there(target.filePath(file.path));
        if (!there.isFile() || there.size() != qint64(file.size))
            check.bytesToWrite += file.size;
    }
    check.lines << tr("Disc: %1, %2 files, %3 (the dashboard update, $SystemUpdate, left out).")
                       .arg(disc.partitionName())
                       .arg(check.discFiles)
                       .arg(sizeText(qint64(check.discBytes)));
    return checkExecutable(game, xex, check);
}

} // namespace

bool checkDisc(const Game &game, const BuildInputs &inputs, const BuildFolders &folders, x360::Disc &disc,
               BuildCheck &check)
{
    if (inputs.image.isEmpty())
        return checkExtractedDisc(game, folders, check);
    return checkDiscImage(game, inputs.image, folders, disc, check);
}
