#pragma once
// The file mix of the benchmark's generated disc and package, like a game's: thousands of small
// files of a few KiB, tens of a few MiB, and a few large archives of hundreds of MiB that take the
// rest of the total. Fixed seeds: the same files on every run.

#include <QList>
#include <QString>
#include <algorithm>
#include <random>

struct MixFile {
    QString path;
    qint64 size = 0;
    quint32 seed = 0;
};

inline QList<MixFile> fileMix(qint64 total)
{
    std::mt19937_64 random(20261210);
    const auto between = [&](qint64 lo, qint64 hi) { return lo + qint64(random() % quint64(hi - lo)); };
    QList<MixFile> files;
    qint64 used = 0;
    const auto add = [&](const QString &path, qint64 size) {
        files.append(MixFile{path, size, quint32(files.size() + 1)});
        used += size;
    };
    for (int i = 0; i < 3000; ++i)
        add(QStringLiteral("data/d%1/s%2/f%3.bin").arg(i % 7).arg(i % 23).arg(i), between(1024, 16 * 1024));
    for (int i = 0; i < 40; ++i)
        add(QStringLiteral("media/m%1/clip%2.bin").arg(i % 4).arg(i), between(1 << 20, 8 << 20));
    const qint64 rest = std::max<qint64>(total - used, 3 << 20);
    add(QStringLiteral("archive/common.arc"), rest * 2 / 5);
    add(QStringLiteral("archive/stages.arc"), rest * 7 / 20);
    add(QStringLiteral("movies/intro.bik"), rest - rest * 2 / 5 - rest * 7 / 20);
    // The files of one folder lie together, folder after folder.
    std::sort(files.begin(), files.end(), [](const MixFile &a, const MixFile &b) { return a.path < b.path; });
    return files;
}
