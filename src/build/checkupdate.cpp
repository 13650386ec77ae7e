// The check step's title update part (in place, or from the package the player chose) and the
// downloadable content packages.

#include "build/buildcheck.h"

#include "gamedata/game.h"
#include "x360/package.h"
#include "x360/xex.h"

#include <QDir>
#include <QFileInfo>

using namespace buildcheck;

namespace {

constexpr quint32 titleUpdateType = 0xB0000;
constexpr quint32 downloadableContentType = 0x2;

const QString paragraph = QStringLiteral("\n\n");

// Fails the check with a title update message followed by what the player needs to fetch.
bool refuseUpdate(const Game &game, BuildCheck &check, const QString &message)
{
    check.error = message + paragraph + game.updateNeededText();
    check.needsUpdate = true;
    return false;
}

QString patchTargetVersion(const QByteArray &xexp)
{
    x360::XexInfo info;
    QString error;
    if (x360::readXex(xexp, &info, &error) && info.hasDeltaPatch)
        return x360::versionText(info.patchTargetVersion);
    return QString();
}

} // namespace

bool checkUpdateInPlace(const Game &game, const BuildFolders &folders, BuildCheck &check)
{
    const TitleUpdate &update = game.titleUpdate;
    const QByteArray xexp = readSmallFile(QDir(folders.disc).filePath(QStringLiteral("default.xexp")));
    const QByteArray patch = readSmallFile(QDir(folders.update).filePath(QStringLiteral("patch.cpk")));
    if (xexp.isEmpty() || patch.isEmpty())
        return refuseUpdate(game, check,
                            tr("Choose %1 in step 2: it is not in place yet.").arg(update.label()));

    const QString xexpSha1 = sha1Hex(xexp);
    if (xexpSha1.compare(update.xexpSha1, Qt::CaseInsensitive) != 0) {
        check.needsUpdate = true;
        check.error =
            game.checkTitleUpdate(tr("The title update on this PC is"), xexpSha1, patchTargetVersion(xexp));
        return false;
    }
    const QString patchHash = update.files.value(QStringLiteral("patch.cpk"));
    if (!patchHash.isEmpty() && sha1Hex(patch).compare(patchHash, Qt::CaseInsensitive) != 0) {
        return refuseUpdate(game, check,
                            tr("The title update on this PC is not complete: its file patch.cpk is not %1's.")
                                .arg(update.label()));
    }
    check.lines << tr("Title update: %1 already in place.").arg(update.label());
    return true;
}

bool checkUpdatePackage(const Game &game, const QString &packagePath, BuildCheck &check)
{
    const TitleUpdate &update = game.titleUpdate;
    const QString path = QDir::fromNativeSeparators(packagePath);
    const QString fileName = QFileInfo(path).fileName();
    const QString subject = tr("The file you chose, %1, is").arg(fileName);

    x360::Package package;
    QString error;
    if (!package.open(path, &error)) {
        return refuseUpdate(game, check,
                            tr("The file you chose, %1, is not a title update: %2").arg(fileName, error));
    }
    if (package.magic != QLatin1String("LIVE") || package.contentType != titleUpdateType) {
        return refuseUpdate(game, check,
                            tr("%1 not a title update: it is a %2 package of %3.")
                                .arg(subject, x360::contentTypeName(package.contentType), package.magic));
    }
    if (package.titleId != game.titleId.toUInt(nullptr, 16)) {
        return refuseUpdate(game, check,
                            tr("%1 a title update of another game (%2, title ID %3), not of %4.")
                                .arg(subject, package.titleName, hex8(package.titleId), game.title));
    }
    const x360::PackageEntry *xexpEntry = package.find(QStringLiteral("default.xexp"));
    QByteArray xexp;
    if (!xexpEntry || xexpEntry->isFolder || !package.read(*xexpEntry, &xexp, &error)) {
        const QString reason = xexpEntry && !xexpEntry->isFolder ? QStringLiteral(": ") + error : QString();
        return refuseUpdate(
            game, check,
            tr("%1 a title update without the game's patch in it (no default.xexp%2).").arg(subject, reason));
    }
    x360::XexInfo info;
    const bool readable = x360::readXex(xexp, &info, &error);
    if (!readable || !info.hasDeltaPatch) {
        return refuseUpdate(game, check,
                            tr("%1 a title update whose default.xexp is not a patch of the game (%2).")
                                .arg(subject, readable ? tr("no delta patch in it") : error));
    }

    const QString xexpSha1 = sha1Hex(xexp);
    const QString source = x360::versionText(info.patchSourceVersion);
    const QString target = x360::versionText(info.patchTargetVersion);
    check.xexpBytes = xexp;
    check.lines << tr("Title update: \"%1\" (%2), %3 package, title ID %4; default.xexp patches %5 into %6, "
                      "SHA-1 %7.")
                       .arg(package.displayName, fileName, package.magic, hex8(package.titleId), source,
                            target, xexpSha1);
    if (xexpSha1.compare(update.xexpSha1, Qt::CaseInsensitive) != 0 || source != update.fromVersion ||
        target != update.toVersion) {
        check.needsUpdate = true;
        check.error = game.checkTitleUpdate(subject, xexpSha1, target);
        check.xexpBytes.clear(); // nothing of a refused update is to be written
        return false;
    }

    for (auto it = update.files.cbegin(); it != update.files.cend(); ++it) {
        if (it.key().compare(QLatin1String("default.xexp"), Qt::CaseInsensitive) == 0)
            continue;
        const x360::PackageEntry *entry = package.find(it.key());
        QByteArray bytes;
        const bool present = entry && !entry->isFolder && package.read(*entry, &bytes, &error);
        if (!present ||
            (!it.value().isEmpty() && sha1Hex(bytes).compare(it.value(), Qt::CaseInsensitive) != 0)) {
            check.needsUpdate = true;
            check.error =
                tr("%1 %2, but its file %3 is missing or changed: a damaged copy. Copy it from your "
                   "console again.")
                    .arg(subject, update.label(), it.key());
            check.xexpBytes.clear();
            return false;
        }
        if (it.key().compare(QLatin1String("patch.cpk"), Qt::CaseInsensitive) == 0)
            check.patchBytes = bytes;
    }
    check.needsUpdate = false;
    check.lines << tr("Title update: %1, the right one.").arg(update.label());
    return true;
}

bool checkDlcPackages(const Game &game, const QStringList &packages, BuildCheck &check)
{
    const quint32 titleId = game.titleId.toUInt(nullptr, 16);
    for (const QString &chosen : packages) {
        const QString path = QDir::fromNativeSeparators(chosen);
        const QString fileName = QFileInfo(path).fileName();
        x360::Package package;
        QString error;
        if (!package.open(path, &error)) {
            check.error = error;
            return false;
        }
        if (package.contentType != downloadableContentType || package.titleId != titleId) {
            check.error = tr("%1 is not %2 downloadable content: it is a %3 package of title ID %4.")
                              .arg(fileName, game.title, x360::contentTypeName(package.contentType),
                                   hex8(package.titleId));
            return false;
        }
        int files = 0;
        for (const x360::PackageEntry &entry : package.entries) {
            if (entry.isFolder)
                continue;
            ++files;
            check.dlcBytes += entry.size;
        }
        check.dlcPackages << path;
        check.lines
            << tr("Downloadable content: \"%1\" (%2, %n file(s)).", files).arg(package.displayName, fileName);
    }
    return true;
}
