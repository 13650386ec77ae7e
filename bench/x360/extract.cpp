// Extracts a disc image exactly as the build does and reports time, throughput and peak memory.

#include "x360/disc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        fputs("Usage: bench_x360_extract IMAGE DIR\n", stderr);
        return 2;
    }
    QElapsedTimer timer;
    timer.start();
    x360::Disc disc;
    QString error;
    std::atomic<bool> cancel{false};
    std::atomic<qint64> bytes{0};
    std::atomic<int> files{0};
    if (!disc.open(QString::fromLocal8Bit(argv[1]), &error) ||
        !disc.extractAll(QString::fromLocal8Bit(argv[2]), x360::isSystemUpdate, cancel, bytes, files,
                         &error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const double seconds = timer.elapsed() / 1000.0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("files=%d bytes=%lld seconds=%.3f mib_per_s=%.1f peak_rss_kib=%ld\n", files.load(),
           static_cast<long long>(bytes.load()), seconds, bytes.load() / 1048576.0 / seconds,
           usage.ru_maxrss);
    return 0;
}
