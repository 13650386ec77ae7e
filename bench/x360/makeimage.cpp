// Writes a synthetic disc image of about SIZE GiB with a game-like mix of file sizes: many small
// files, a good share of medium ones and a few very large archives and movies, in nested folders.

#include "x360/writer/discwriter.h"

#include <QCoreApplication>
#include <cstdio>
#include <random>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        fputs("Usage: bench_x360_makeimage IMAGE SIZE_GIB\n", stderr);
        return 2;
    }
    const qint64 target = qint64(atof(argv[2]) * 1024 * 1024 * 1024);
    std::mt19937_64 random(20261210); // fixed: the same image every time
    const auto between = [&](qint64 lo, qint64 hi) { return lo + qint64(random() % quint64(hi - lo)); };
    x360::writer::DiscImage image;
    qint64 total = 0;
    int files = 0;
    while (total < target) {
        const int kind = int(random() % 100);
        qint64 size;
        if (kind < 70)
            size = between(1024, 256 * 1024);
        else if (kind < 95)
            size = between(256 * 1024, 8 << 20);
        else if (kind < 99)
            size = between(8 << 20, 128 << 20);
        else
            size = between(128 << 20, 1024 << 20);
        size = std::min(size, target - total + 1024);
        const QString path = QStringLiteral("data/d%1/s%2/f%3.bin").arg(files % 7).arg(files % 23).arg(files);
        image.addPatternFile(path, size, quint32(files));
        total += size;
        ++files;
    }
    QString error;
    if (!image.write(QString::fromLocal8Bit(argv[1]), 0, &error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    printf("%d files, %lld bytes\n", files, static_cast<long long>(total));
    return 0;
}
