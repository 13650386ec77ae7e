// extract: a disc image through the build's extraction (with a progress line on a terminal and
// Ctrl+C as cancel), or a package.

#include "commands.h"

#include "x360/disc.h"
#include "x360/package.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <csignal>
#include <cstdio>
#include <thread>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

std::atomic<bool> interrupted{false};

void onInterrupt(int)
{
    interrupted.store(true);
}

QString progressLine(qint64 bytes, qint64 total, int files, int fileTotal)
{
    const int percent = total > 0 ? int(bytes * 100 / total) : 100;
    return QStringLiteral("\r%1% %2 of %3, %4 of %5 files ")
        .arg(percent)
        .arg(sizeText(bytes), sizeText(total))
        .arg(files)
        .arg(fileTotal);
}

} // namespace

int extractCommand(const QString &file, const QString &dir, const Options &options)
{
    QString error;
    if (kindOf(file) == Kind::Xex)
        return fail(
            QStringLiteral("%1 is an executable: it holds no files.").arg(QFileInfo(file).fileName()));
    if (kindOf(file) == Kind::Package) {
        x360::Package package;
        if (!package.open(file, &error) || !package.extractAll(dir, &error))
            return fail(error);
        return 0;
    }
    x360::Disc disc;
    if (!disc.open(file, &error))
        return fail(error);
    const x360::PathFilter skip = options.all ? x360::PathFilter() : x360::PathFilter(x360::isSystemUpdate);
    const qint64 total = disc.totalBytes(skip);
    const int fileTotal = disc.fileCount(skip);
    std::atomic<qint64> bytesDone{0};
    std::atomic<int> filesDone{0};
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    bool ok = false;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        ok = disc.extractAll(dir, skip, interrupted, bytesDone, filesDone, &error);
        finished.store(true);
    });
    const bool terminal = isatty(fileno(stderr));
    while (!finished.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (terminal && !finished.load()) {
            fputs(qPrintable(progressLine(bytesDone.load(), total, filesDone.load(), fileTotal)), stderr);
            fflush(stderr);
        }
    }
    worker.join();
    if (terminal)
        fputs(qPrintable(progressLine(bytesDone.load(), total, filesDone.load(), fileTotal) + u'\n'), stderr);
    if (!ok)
        return fail(error);
    return 0;
}
