// Writes a synthetic disc image of about SIZE GiB with the benchmark's game-like file mix.

#include "mix.h"
#include "x360/writer/discwriter.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        fputs("Usage: bench_x360_makeimage IMAGE SIZE_GIB\n", stderr);
        return 2;
    }
    const QList<MixFile> files = fileMix(qint64(atof(argv[2]) * 1024 * 1024 * 1024));
    x360::writer::DiscImage image;
    qint64 total = 0;
    for (const MixFile &file : files) {
        image.addPatternFile(file.path, file.size, file.seed);
        total += file.size;
    }
    QString error;
    if (!image.write(QString::fromLocal8Bit(argv[1]), 0, &error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    printf("%lld files, %lld bytes\n", static_cast<long long>(files.size()), static_cast<long long>(total));
    return 0;
}
