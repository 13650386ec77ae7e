#include "gamechecks.h"

#include "core/cfg.h"
#include "core/devhooks.h"
#include "gamedata/registry.h"
#include "platform/platform.h"
#include "x360/xex.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>

namespace {

constexpr qint64 MaxXexpBytes = 64 * 1024 * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("GameProcess", text);
}

// A file's SHA-1 as last computed, kept while its size and modification time stay: the title update is
// checked on every PLAY, every Build game page show and every build notice, and its files run to
// tens of megabytes.
struct HashedFile {
    qint64 size = -1;
    QDateTime modified;
    QString sha1;
};

QMutex &hashMutex()
{
    static QMutex mutex;
    return mutex;
}

QHash<QString, HashedFile> &hashCache()
{
    static QHash<QString, HashedFile> cache;
    return cache;
}

HashedFile stamp(const QString &path)
{
    const QFileInfo info(path);
    HashedFile h;
    if (!info.isFile())
        return h;
    h.size = info.size();
    h.modified = info.lastModified();
    return h;
}

bool cachedSha1(const QString &path, const HashedFile &now, QString *hex)
{
    const QMutexLocker lock(&hashMutex());
    const auto it = hashCache().constFind(path);
    if (it == hashCache().cend() || it->size != now.size || it->modified != now.modified)
        return false;
    *hex = it->sha1;
    return true;
}

void keepSha1(const QString &path, HashedFile now, const QString &hex)
{
    now.sha1 = hex;
    const QMutexLocker lock(&hashMutex());
    hashCache().insert(path, now);
}

// The SHA-1 of a file, read piece by piece (an update's data files run to hundreds of megabytes);
// false when it does not open.
bool fileSha1(const QString &path, QString *hex)
{
    const HashedFile now = stamp(path);
    if (now.size >= 0 && cachedSha1(path, now, hex))
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file))
        return false;
    *hex = QString::fromLatin1(hash.result().toHex());
    if (now.size >= 0)
        keepSha1(path, now, *hex);
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

    // One too large to be an update's executable is judged as empty.
    QString foundSha1;
    if (QFileInfo(xexpPath).size() >= MaxXexpBytes || !fileSha1(xexpPath, &foundSha1))
        foundSha1 =
            QString::fromLatin1(QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha1).toHex());
    const QString subject = tr("The title update on this PC is");
    if (foundSha1.compare(game->titleUpdate.xexpSha1, Qt::CaseInsensitive) != 0) {
        // Another update's executable says which one it is.
        QByteArray bytes;
        QFile xexp(xexpPath);
        if (xexp.open(QIODevice::ReadOnly) && xexp.size() < MaxXexpBytes)
            bytes = xexp.readAll();
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

QStringList titleUpdateFiles(const QString &gameId)
{
    QStringList paths;
    const Game *game = GameRegistry::instance().find(gameId);
    if (!game || game->titleUpdate.xexpSha1.isEmpty())
        return paths;
    paths << QDir(cfg::gameDiscDir(gameId)).filePath(QStringLiteral("default.xexp"));
    const QDir updateDir(cfg::gameUpdateDir(gameId));
    for (auto it = game->titleUpdate.files.cbegin(); it != game->titleUpdate.files.cend(); ++it) {
        if (it.key() != QLatin1String("default.xexp"))
            paths << updateDir.filePath(it.key());
    }
    return paths;
}

void hashAhead(const QStringList &paths)
{
    for (const QString &path : paths) {
        QString hex;
        fileSha1(path, &hex);
    }
}

bool titleUpdateHashesKept(const QString &gameId)
{
    const Game *game = GameRegistry::instance().find(gameId);
    if (!game || game->titleUpdate.xexpSha1.isEmpty())
        return true;
    // Walks the files as titleUpdateProblem does, which stops at the first that is not the update's.
    enum Kept { Unknown, Matches, Differs };
    const auto kept = [](const QString &path, const QString &wanted) {
        const HashedFile now = stamp(path);
        QString hex;
        if (now.size < 0)
            return Differs; // missing: nothing to hash
        if (!cachedSha1(path, now, &hex))
            return Unknown;
        return wanted.isEmpty() || hex.compare(wanted, Qt::CaseInsensitive) == 0 ? Matches : Differs;
    };
    const QString xexpPath = QDir(cfg::gameDiscDir(gameId)).filePath(QStringLiteral("default.xexp"));
    if (!QFileInfo::exists(xexpPath))
        return true;
    const Kept xexp = kept(xexpPath, game->titleUpdate.xexpSha1);
    if (xexp != Matches)
        return xexp == Differs;
    const QDir updateDir(cfg::gameUpdateDir(gameId));
    for (auto it = game->titleUpdate.files.cbegin(); it != game->titleUpdate.files.cend(); ++it) {
        if (it.key() == QLatin1String("default.xexp"))
            continue;
        const Kept file = kept(updateDir.filePath(it.key()), it.value());
        if (file != Matches)
            return file == Differs;
    }
    return true;
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
