// Extracts a disc image, or with --package a package, exactly as the build does, and reports
// time, throughput and peak memory.

#include "x360/disc.h"
#include "x360/package.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool package = argc == 4 && std::strcmp(argv[1], "--package") == 0;
    if (argc != 3 && !package) {
        fputs("Usage: bench_x360_extract [--package] SOURCE DIR\n", stderr);
        return 2;
    }
    const QString source = QString::fromLocal8Bit(argv[argc - 2]);
    const QString target = QString::fromLocal8Bit(argv[argc - 1]);
    QElapsedTimer timer;
    timer.start();
    QString error;
    qint64 bytes = 0;
    int files = 0;
    if (package) {
        x360::Package reader;
        if (!reader.open(source, &error) || !reader.extractAll(target, &error)) {
            fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        for (const x360::PackageEntry &entry : reader.entries) {
            if (!entry.isFolder) {
                bytes += entry.size;
                ++files;
            }
        }
    } else {
        x360::Disc disc;
        std::atomic<bool> cancel{false};
        std::atomic<qint64> done{0};
        std::atomic<int> count{0};
        if (!disc.open(source, &error) ||
            !disc.extractAll(target, x360::isSystemUpdate, cancel, done, count, &error)) {
            fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        bytes = done;
        files = count;
    }
    const double seconds = timer.elapsed() / 1000.0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("files=%d bytes=%lld seconds=%.3f mib_per_s=%.1f peak_rss_kib=%ld\n", files,
           static_cast<long long>(bytes), seconds, bytes / 1048576.0 / seconds, usage.ru_maxrss);
    return 0;
}
