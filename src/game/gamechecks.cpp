#include "gamechecks.h"

#include "core/cfg.h"
#include "core/devhooks.h"
#include "gamedata/registry.h"
#include "platform/platform.h"
#include "x360/xex.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr qint64 MaxXexpBytes = 64 * 1024 * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("GameProcess", text);
}

// The SHA-1 of a file, read piece by piece (an update's data files run to hundreds of megabytes);
// false when it does not open.
bool fileSha1(const QString &path, QString *hex)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file))
        return false;
    *hex = QString::fromLatin1(hash.result().toHex());
    return true;
}

QString readTrimmed(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? QString::fromUtf8(file.readAll().trimmed()) : QString();
}

} // namespace

bool gameFilesPresent(const QString &gameId)
{
    const QDir disc(cfg::gameDiscDir(gameId));
    return QFileInfo(disc.filePath(QStringLiteral("default.xex"))).isFile() &&
           QFileInfo(disc.filePath(QStringLiteral("default.xexp"))).isFile();
}

QString discExecutable(const QString &gameId)
{
    const QString path = QDir(cfg::gameDiscDir(gameId)).filePath(QStringLiteral("default.xex"));
    return QFileInfo(path).isFile() ? path : QString();
}

QString titleUpdateProblem(const QString &gameId)
{
    const Game *game = GameRegistry::instance().find(gameId);
    if (!game || game->titleUpdate.xexpSha1.isEmpty())
        return QString();
    const QString xexpPath = QDir(cfg::gameDiscDir(gameId)).filePath(QStringLiteral("default.xexp"));
    if (!QFileInfo::exists(xexpPath))
        return QString(); // the game files check reports the missing file

    QByteArray bytes;
    QFile xexp(xexpPath);
    if (xexp.open(QIODevice::ReadOnly) && xexp.size() < MaxXexpBytes)
        bytes = xexp.readAll();
    const QString subject = tr("The title update on this PC is");
    const QString foundSha1 =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
    if (foundSha1.compare(game->titleUpdate.xexpSha1, Qt::CaseInsensitive) != 0) {
        x360::XexInfo info;
        QString readError;
        QString foundVersion;
        if (x360::readXex(bytes, &info, &readError) && info.hasDeltaPatch)
            foundVersion = x360::versionText(info.patchTargetVersion);
        return game->checkTitleUpdate(subject, foundSha1, foundVersion);
    }

    const QDir updateDir(cfg::gameUpdateDir(gameId));
    for (auto it = game->titleUpdate.files.cbegin(); it != game->titleUpdate.files.cend(); ++it) {
        if (it.key() == QLatin1String("default.xexp"))
            continue;
        QString sha1;
        const bool opened = fileSha1(updateDir.filePath(it.key()), &sha1);
        if (opened && (it.value().isEmpty() || sha1.compare(it.value(), Qt::CaseInsensitive) == 0))
            continue;
        return tr("The title update on this PC is not complete: its file %1 is missing or is not %2's.")
                   .arg(it.key(), game->titleUpdate.label()) +
               QStringLiteral("\n\n") + game->updateNeededText();
    }
    return QString();
}

bool rebuildNeeded(const QString &gameId)
{
    if (!QFileInfo(cfg::gameExe(gameId)).isFile())
        return false;
    const QDir folder(cfg::gameFolder(gameId));
    bool haveVersion = false;
    const QString version = readTrimmed(folder.filePath(QStringLiteral("project/VERSION")), &haveVersion);
    if (!haveVersion)
        return false;
    bool haveBuilt = false;
    const QString built = readTrimmed(folder.filePath(QStringLiteral("built.txt")), &haveBuilt);
    return !haveBuilt || built != version;
}

QString buildHint(const QString &gameId)
{
    const Game *game = GameRegistry::instance().find(gameId);
    const QString update = game ? game->titleUpdate.label() : tr("the title update");
    return tr("Open Build game, choose %1 in step 2, then press CHECK AND BUILD.").arg(update);
}

int smartAppControlState()
{
    if (const std::optional<QString> stand = devhooks::value("ORX_SMART_APP_CONTROL"))
        return stand->trimmed().toInt();
    return platform::smartAppControlState();
}

QString smartAppControlText(bool blocked)
{
    const QString first = blocked ? tr("Windows' Smart App Control blocked the game.")
                                  : tr("Windows' Smart App Control is on, and it will block the games.");
    return first + QLatin1Char(' ') +
           tr("It only runs programs signed by a publisher it knows, and these games can never be: every PC "
              "builds its own copy of the game's code from its own disc. To play, switch it off in Windows "
              "Security > App & browser control > Smart App Control settings. (On some versions of Windows "
              "11 "
              "it can only be switched back on by resetting Windows.)");
}

QString antivirusText(const QString &fileName)
{
    return tr("Windows Security (or another antivirus) may have blocked or removed %1. That is a false "
              "alarm: a "
              "new release's files, and the game code each PC builds for itself, are new to it. Open Windows "
              "Security > Virus & threat protection > Protection history, pick the entry for %1 and choose "
              "Actions > Restore (or Allow on device), then try again.")
        .arg(fileName);
}
