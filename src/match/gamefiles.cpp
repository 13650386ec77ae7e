#include "match/gamefiles.h"

#include "core/cfg.h"
#include "core/log.h"
#include "match/gamelogreading.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <numeric>
#include <vector>

namespace gamefiles {

namespace {

constexpr qint64 readPiece = 1048576;

struct State {
    QMutex mutex;
    std::atomic_bool stop{false};
    std::atomic_int hashedFiles{0};
    QSet<QString> started;
    QList<QPointer<QThread>> threads;
    QHash<QString, QString> digests;
    QHash<QString, QString> filesParts;
};

State &state()
{
    static State s;
    return s;
}

QString discFolder(const QString &gameId)
{
    const QString folder = cfg::gameFolder(gameId);
    return folder.isEmpty() ? QString() : QDir(folder).filePath(QStringLiteral("disc"));
}

QString shortSha1(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().left(16));
}

// Empty when the file cannot be read or the stop flag was set.
QString sha1Of(const QString &path, const std::atomic_bool &stop)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray piece(readPiece, Qt::Uninitialized);
    for (;;) {
        if (stop.load())
            return QString();
        const qint64 n = file.read(piece.data(), readPiece);
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        hash.addData(QByteArrayView(piece.constData(), n));
    }
    return QString::fromLatin1(hash.result().toHex());
}

// The cache's key of a path relative to the disc folder: lower case. ASCII names (all of a disc's)
// are lowered into `key` in place, so an unchanged file costs no allocation.
void lowerKey(QByteArrayView utf8, QString &key)
{
    for (const char c : utf8) {
        if (uchar(c) >= 0x80) {
            key = QString::fromUtf8(utf8).toLower();
            return;
        }
    }
    key.resize(utf8.size());
    QChar *out = key.data();
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const char c = utf8.at(i);
        out[i] = QLatin1Char(c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c);
    }
}

void hashGameFiles(const QString &gameId, const QString &discDir, const QString &cacheFile)
{
    State &s = state();
    const TreeHash tree = hashTree(discDir, readCache(cacheFile), s.stop);
    if (!tree.complete || s.stop.load())
        return;
    QString error;
    const QByteArray text = tree.cacheLines.isEmpty()
                                ? QByteArray()
                                : (tree.cacheLines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    if (!platform::writeFileAtomically(cacheFile, text, &error))
        appendLog(QStringLiteral("game files: %1").arg(error));
    QMutexLocker lock(&s.mutex);
    s.digests.insert(gameId, tree.digest);
}

} // namespace

bool parseCacheLine(const QString &line, QString *path, CacheEntry *entry)
{
    static const QRegularExpression sha1(QStringLiteral("^[0-9a-f]{40}$"));
    const QStringList fields = line.split(QLatin1Char('|'));
    if (fields.size() != 4 || fields.at(0).isEmpty())
        return false;
    bool sizeOk = false, timeOk = false;
    CacheEntry e;
    e.size = fields.at(1).toLongLong(&sizeOk);
    e.mtimeMs = fields.at(2).toLongLong(&timeOk);
    e.sha1 = fields.at(3);
    if (!sizeOk || !timeOk || e.size < 0 || !sha1.match(e.sha1).hasMatch())
        return false;
    e.line = QStringLiteral("%1|%2|%3|%4").arg(fields.at(0)).arg(e.size).arg(e.mtimeMs).arg(e.sha1);
    e.sum = fields.at(0) + QLatin1Char('|') + e.sha1;
    if (path)
        *path = fields.at(0);
    if (entry)
        *entry = e;
    return true;
}

QHash<QString, CacheEntry> readCache(const QString &cacheFile)
{
    QHash<QString, CacheEntry> cache;
    QFile file(cacheFile);
    if (!file.open(QIODevice::ReadOnly))
        return cache;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        QString path;
        CacheEntry entry;
        if (parseCacheLine(line.trimmed(), &path, &entry))
            cache.insert(path, entry);
    }
    return cache;
}

TreeHash hashTree(const QString &discDir, const QHash<QString, CacheEntry> &cache,
                  const std::atomic_bool &stop)
{
    TreeHash result;
    QStringList sums;
    sums.reserve(cache.size());
    result.cacheLines.reserve(cache.size());
    const QString root = QDir::cleanPath(discDir);
    QString key;
    key.reserve(512);
    bool stopped = false;
    platform::walkFiles(root, [&](QByteArrayView relative, qint64 size, quint64 fileTime) {
        if (stop.load()) {
            stopped = true;
            return false;
        }
        const qint64 mtime = qint64(fileTime / 10000) - 11644473600000LL;
        lowerKey(relative, key);
        const auto cached = cache.constFind(key);
        if (cached != cache.constEnd() && cached->size == size && cached->mtimeMs == mtime &&
            !cached->line.isEmpty()) {
            sums << cached->sum;
            result.cacheLines << cached->line;
            ++result.reused;
            return true;
        }
        const QString sha1 = sha1Of(root + QLatin1Char('/') + QString::fromUtf8(relative), stop);
        if (stop.load()) {
            stopped = true;
            return false;
        }
        if (sha1.isEmpty())
            return true; // unreadable: left out, hashed again next time
        ++result.hashed;
        state().hashedFiles.fetch_add(1);
        sums << key + QLatin1Char('|') + sha1;
        result.cacheLines << QStringLiteral("%1|%2|%3|%4").arg(key).arg(size).arg(mtime).arg(sha1);
        return true;
    });
    if (stopped)
        return result;
    // One sort for both lists: each line starts with its path and a '|', so the cache lines and
    // the digest lines fall in the same order.
    std::vector<qsizetype> order(size_t(sums.size()));
    std::iota(order.begin(), order.end(), qsizetype(0));
    std::sort(order.begin(), order.end(),
              [&](qsizetype a, qsizetype b) { return result.cacheLines.at(a) < result.cacheLines.at(b); });
    QStringList lines, sorted;
    lines.reserve(sums.size());
    sorted.reserve(sums.size());
    for (const qsizetype i : order) {
        lines << result.cacheLines.at(i);
        sorted << sums.at(i);
    }
    result.cacheLines = lines;
    result.digest = shortSha1(sorted.join(QLatin1Char('\n')).toUtf8());
    result.complete = true;
    return result;
}

QString cacheFilePath(const QString &gameId)
{
    return QDir(cfg::dataDir()).filePath(QStringLiteral("game-files-%1.txt").arg(gameId));
}

void startHashingGameFiles(const QString &gameId)
{
    State &s = state();
    // The settings are read here, on the main thread; the thread gets plain paths.
    const QString discDir = discFolder(gameId);
    const QString cacheFile = cacheFilePath(gameId);
    QMutexLocker lock(&s.mutex);
    if (s.started.contains(gameId) || discDir.isEmpty() || !QFileInfo(discDir).isDir())
        return;
    s.started.insert(gameId);
    QThread *thread = QThread::create([gameId, discDir, cacheFile] {
        platform::setBackgroundThreadMode(true);
        hashGameFiles(gameId, discDir, cacheFile);
    });
    thread->setObjectName(QStringLiteral("game files %1").arg(gameId));
    // Deleted only once it has finished: a QThread destroyed while it runs ends the process.
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    s.threads << thread;
    thread->start(QThread::LowestPriority);
}

bool stopHashing(int waitMs)
{
    State &s = state();
    s.stop.exchange(true);
    QList<QPointer<QThread>> threads;
    {
        QMutexLocker lock(&s.mutex);
        threads = s.threads;
    }
    bool allEnded = true;
    for (const QPointer<QThread> &t : std::as_const(threads)) {
        if (t && !t->wait(QDeadlineTimer(waitMs)))
            allEnded = false;
    }
    return allEnded;
}

QString contentsDigest(const QString &gameId)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.digests.value(gameId);
}

QString gameFilesLine(const QString &gameId)
{
    State &s = state();
    QString files;
    {
        QMutexLocker lock(&s.mutex);
        files = s.filesParts.value(gameId);
    }
    if (files.isEmpty()) {
        QStringList lines;
        qint64 total = 0;
        const QString discDir = discFolder(gameId);
        if (!discDir.isEmpty() && QFileInfo(discDir).isDir()) {
            QString key;
            platform::walkFiles(QDir::cleanPath(discDir), [&](QByteArrayView relative, qint64 size, quint64) {
                lowerKey(relative, key);
                lines << QStringLiteral("%1|%2").arg(key).arg(size);
                total += size;
                return true;
            });
        }
        lines.sort();
        files = QStringLiteral("Game files: %1 files, %2 bytes, names and sizes %3")
                    .arg(lines.size())
                    .arg(total)
                    .arg(shortSha1(lines.join(QLatin1Char('\n')).toUtf8()));
        QMutexLocker lock(&s.mutex);
        s.filesParts.insert(gameId, files);
    }
    const QString digest = contentsDigest(gameId);
    return files + QStringLiteral(", ") +
           (digest.isEmpty() ? QStringLiteral("contents not hashed yet")
                             : QStringLiteral("contents %1").arg(digest));
}

QString machineLine(const QString &gameId)
{
    QString target = QStringLiteral("?");
    QFile march(QDir(cfg::gameFolder(gameId)).filePath(QStringLiteral("build/march.ninja")));
    if (march.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(march.readAll());
        const qsizetype eq = text.indexOf(QLatin1Char('='));
        if (eq >= 0)
            target = text.mid(eq + 1).trimmed();
    }
    // Where the launcher runs on Windows the system part reads "Windows" and its version.
    return gamelog::anonymiseLine(QStringLiteral("This PC: %1, %2 threads, %3, game code for %4")
                                      .arg(platform::processorName().simplified())
                                      .arg(QThread::idealThreadCount())
                                      .arg(platform::osVersion(), target));
}

int filesHashedForTest()
{
    return state().hashedFiles.load();
}

void resetForTest()
{
    State &s = state();
    s.stop.exchange(true);
    QList<QPointer<QThread>> threads;
    {
        QMutexLocker lock(&s.mutex);
        threads = s.threads;
    }
    for (const QPointer<QThread> &t : std::as_const(threads))
        if (t)
            t->wait();
    QMutexLocker lock(&s.mutex);
    s.started.clear();
    s.threads.clear();
    s.digests.clear();
    s.filesParts.clear();
    s.hashedFiles.store(0);
    s.stop.store(false);
}

} // namespace gamefiles
