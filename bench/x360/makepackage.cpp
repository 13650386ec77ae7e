// Writes a synthetic package (a LIVE package of downloadable content) of about SIZE GiB with the
// benchmark's game-like file mix. The writer builds it in memory: about twice SIZE is needed.

#include "mix.h"
#include "x360/writer/packagewriter.h"
#include "x360/writer/pattern.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        fputs("Usage: bench_x360_makepackage PACKAGE SIZE_GIB\n", stderr);
        return 2;
    }
    const QList<MixFile> files = fileMix(qint64(atof(argv[2]) * 1024 * 1024 * 1024));
    x360::writer::PackageBuilder builder;
    builder.contentType = 0x2;
    builder.blockSeparation = 1; // one copy of each hash table, as most downloadable content has
    builder.displayName = QStringLiteral("Benchmark content");
    qint64 total = 0;
    for (const MixFile &file : files) {
        QByteArray data(file.size, Qt::Uninitialized);
        x360::writer::fillPattern(data.data(), file.size, 0, file.seed);
        builder.addFile(file.path, data);
        total += file.size;
    }
    const QByteArray package = builder.build();
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(package) != package.size()) {
        fprintf(stderr, "cannot write %s: %s\n", argv[1], qPrintable(out.errorString()));
        return 1;
    }
    printf("%lld files, %lld bytes\n", static_cast<long long>(files.size()), static_cast<long long>(total));
    return 0;
}
