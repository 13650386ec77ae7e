// The game files hash against the system's sha1sum on the same tree: a few large files and
// thousands of small ones, generated in a temporary folder and read once first so that both find
// them in the page cache. Cold hash (no cache) at normal and at background priority against
// `find -type f -print0 | xargs -0 sha1sum`, alternating, best of 3; then the re-check of the
// unchanged tree against the cache, as a share of the cold hash, beside
// `find -type f -print0 | xargs -0 stat` on the same tree (one look at each file, nothing read).
//   bench_gamefiles [TREE_MIB]   (default 512)

#include "match/gamefiles.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 MiB = 1024 * 1024;

qint64 makeTree(const QString &root, qint64 totalMiB)
{
    QRandomGenerator rng(20261210);
    qint64 written = 0;
    QByteArray block(MiB, Qt::Uninitialized);
    auto fill = [&](QByteArray &b) {
        for (qsizetype i = 0; i + 4 <= b.size(); i += 4) {
            const quint32 v = rng.generate();
            memcpy(b.data() + i, &v, 4);
        }
    };
    // A quarter in small files of 1 to 32 KiB (thousands) spread over 40 folders, the rest in 4 large ones.
    const qint64 smallBudget = totalMiB * MiB / 4;
    qint64 small = 0;
    for (int i = 0; small < smallBudget && i < 100000; ++i) {
        const QString dir = QStringLiteral("%1/data/d%2").arg(root).arg(i % 40);
        QDir().mkpath(dir);
        QByteArray bytes(qint64(rng.bounded(1, 33)) * 1024, Qt::Uninitialized);
        fill(bytes);
        QFile f(QStringLiteral("%1/f%2.bin").arg(dir).arg(i));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return -1;
        small += bytes.size();
    }
    written += small;
    const qint64 largeEach = (totalMiB * MiB - small) / 4;
    for (int i = 0; i < 4; ++i) {
        QFile f(QStringLiteral("%1/movie%2.bik").arg(root).arg(i));
        if (!f.open(QIODevice::WriteOnly))
            return -1;
        for (qint64 left = largeEach; left > 0; left -= block.size()) {
            fill(block);
            const qint64 n = std::min<qint64>(left, block.size());
            if (f.write(block.constData(), n) != n)
                return -1;
            written += n;
        }
    }
    return written;
}

double timed(const std::function<bool()> &run)
{
    QElapsedTimer t;
    t.start();
    if (!run())
        return -1;
    return double(t.nsecsElapsed()) / 1e9;
}

bool hashOnThread(const QString &root, bool background, const QHash<QString, gamefiles::CacheEntry> &cache,
                  gamefiles::TreeHash *out)
{
    std::atomic_bool stop{false};
    gamefiles::TreeHash tree;
    QThread *thread = QThread::create([&] {
        platform::setBackgroundThreadMode(background);
        tree = gamefiles::hashTree(root, cache, stop);
    });
    thread->start(background ? QThread::LowestPriority : QThread::InheritPriority);
    thread->wait();
    delete thread;
    if (out)
        *out = tree;
    return tree.complete;
}

bool sha1sum(const QString &root)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("find \"$0\" -type f -print0 | xargs -0 sha1sum"), root});
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool statAll(const QString &root)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("find \"$0\" -type f -print0 | xargs -0 stat"), root});
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 512;
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("disc"));
    const qint64 bytes = makeTree(root, std::max<qint64>(mib, 8));
    if (bytes <= 0) {
        std::fprintf(stderr, "could not write the tree\n");
        return 1;
    }
    const double size = double(bytes) / MiB;
    // Read once, so both sides find the tree in the page cache.
    if (!sha1sum(root))
        return 1;

    double ours = 1e9, oursBg = 1e9, theirs = 1e9;
    gamefiles::TreeHash cold;
    for (int round = 0; round < 3; ++round) {
        ours = std::min(ours, timed([&] { return hashOnThread(root, false, {}, &cold); }));
        theirs = std::min(theirs, timed([&] { return sha1sum(root); }));
        oursBg = std::min(oursBg, timed([&] { return hashOnThread(root, true, {}, nullptr); }));
    }
    // The unchanged tree against the cache the cold hash wrote.
    QHash<QString, gamefiles::CacheEntry> cache;
    for (const QString &line : std::as_const(cold.cacheLines)) {
        QString path;
        gamefiles::CacheEntry e;
        if (gamefiles::parseCacheLine(line, &path, &e))
            cache.insert(path, e);
    }
    double recheck = 1e9, stats = 1e9;
    gamefiles::TreeHash again;
    for (int round = 0; round < 3; ++round) {
        recheck = std::min(recheck, timed([&] { return hashOnThread(root, false, cache, &again); }));
        stats = std::min(stats, timed([&] { return statAll(root); }));
    }
    if (again.hashed != 0 || again.digest != cold.digest) {
        std::fprintf(stderr, "the re-check did not reuse the cache\n");
        return 1;
    }
    std::printf("tree: %.0f MiB in %d files\n", size, int(cold.cacheLines.size()));
    std::printf("cold hash, normal priority:     %8.1f MiB/s  (%.3f s)\n", size / ours, ours);
    std::printf("cold hash, background priority: %8.1f MiB/s  (%.3f s)\n", size / oursBg, oursBg);
    std::printf("find | xargs sha1sum:           %8.1f MiB/s  (%.3f s)\n", size / theirs, theirs);
    std::printf("ratio to sha1sum: normal %.2f, background %.2f (aim >= 0.9)\n", theirs / ours,
                theirs / oursBg);
    std::printf("re-check of the unchanged tree: %.4f s, %.2f%% of the cold hash (aim < 2%%)\n", recheck,
                100.0 * recheck / ours);
    std::printf("find | xargs stat:              %.4f s, %.2f%% of the cold hash; re-check / stat %.2f\n",
                stats, 100.0 * stats / ours, recheck / stats);
    return 0;
}
