#pragma once
// The game files of a game (its extracted disc) as desync reports describe them: names and sizes
// counted at once, the contents hashed once per run on a background thread with a cache on disk,
// and the line describing this PC. The hashing state is process-wide, under one mutex.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>

namespace gamefiles {

// One line of "game-files-%1.txt": path|size|mtime ms|sha1.
struct CacheEntry {
    qint64 size = 0;
    qint64 mtimeMs = 0;
    QString sha1; // 40 lower-case hexadecimal digits
    // The cache line and the digest's "path|sha1" line of a file that did not change, made once
    // when the cache is read so that the re-check of an unchanged file allocates nothing.
    QString line;
    QString sum;
};

// False for a line that is not four fields with a size, a time and a 40-digit hash.
bool parseCacheLine(const QString &line, QString *path, CacheEntry *entry);
QHash<QString, CacheEntry> readCache(const QString &cacheFile);

struct TreeHash {
    bool complete = false;  // false when the stop flag cut the walk short
    QStringList cacheLines; // sorted path|size|mtime|sha1
    QString digest;         // 16 hex digits over the sorted path|sha1 lines
    int hashed = 0;         // files read
    int reused = 0;         // files whose cached hash still held
};
// Walks `discDir` (hidden files too) with one look at each file through the platform's own folder
// listing, reusing a cached hash where size and time both match.
TreeHash hashTree(const QString &discDir, const QHash<QString, CacheEntry> &cache,
                  const std::atomic_bool &stop);

// Starts hashing the game's disc folder once per run, on a thread of its own at background priority.
void startHashingGameFiles(const QString &gameId);
// Sets the stop flag and waits up to `waitMs` for each hashing thread. True when none still runs;
// one that does is left alone (it ends at its next check of the flag).
bool stopHashing(int waitMs);
// The contents digest, or empty while it is not ready.
QString contentsDigest(const QString &gameId);

QString gameFilesLine(const QString &gameId);
QString machineLine(const QString &gameId);
QString cacheFilePath(const QString &gameId);

// Test support: files whose contents were read since the last reset, and a reset of the
// process-wide state (waits for running threads).
int filesHashedForTest();
void resetForTest();

} // namespace gamefiles
