// Extraction of a whole disc: front to back, each file written as ".part" and renamed, so an
// interrupted run leaves only whole files and the next run resumes after them. A file's data is one
// run of sectors, so the system copies it file to file where it can.

#include "x360/disc.h"

#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace x360 {

bool Disc::extractAll(const QString &destination, const PathFilter &skip, const std::atomic<bool> &cancel,
                      std::atomic<qint64> &bytesDone, std::atomic<int> &filesDone, QString *error)
{
    QString ignoredError; // the caller may want only the verdict
    if (!error)
        error = &ignoredError;
    QList<const DiscEntry *> order;
    order.reserve(m_entries.size());
    for (const DiscEntry &entry : m_entries) {
        if (!(skip && skip(entry.path)))
            order.append(&entry);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const DiscEntry *a, const DiscEntry *b) { return a->sector < b->sector; });

    QString madeFolder;
    for (const DiscEntry *entry : std::as_const(order)) {
        const QString target = destination + u'/' + entry->path;
        if (entry->isFolder) {
            if (!QDir().mkpath(target)) {
                *error = tr("Cannot make the folder %1.").arg(QDir::toNativeSeparators(target));
                return false;
            }
            continue;
        }
        const QString parent = QFileInfo(target).path();
        // Files of one folder mostly follow each other: make each folder once in a row.
        if (parent != madeFolder && !QDir().mkpath(parent)) {
            *error = tr("Cannot make the folder %1.").arg(QDir::toNativeSeparators(parent));
            return false;
        }
        madeFolder = parent;
        const QFileInfo existing(target);
        if (existing.isFile() && !existing.isSymLink() && existing.size() == qint64(entry->size)) {
            bytesDone.fetch_add(entry->size, std::memory_order_relaxed);
            filesDone.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (!extractFile(*entry, target, cancel, bytesDone, error))
            return false;
        filesDone.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

bool Disc::extractFile(const DiscEntry &entry, const QString &target, const std::atomic<bool> &cancel,
                       std::atomic<qint64> &bytesDone, QString *error)
{
    const QString partPath = target + QLatin1String(".part");
    QFile part(partPath);
    if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        *error = tr("Cannot write %1: %2").arg(QDir::toNativeSeparators(partPath), part.errorString());
        return false;
    }
    const auto fail = [&](const QString &message) {
        part.close();
        part.remove();
        *error = message;
        return false;
    };
    const QString cutShort = tr("The image is cut short (%1 lies past its end).").arg(entry.path);
    const qint64 start = m_partitionOffset + qint64(entry.sector) * sectorSize;
    qint64 done = 0;
    while (done < qint64(entry.size)) {
        if (cancel.load(std::memory_order_relaxed))
            return fail(tr("Cancelled."));
        const qint64 length = std::min<qint64>(entry.size - done, copyPiece);
        const platform::RangeCopy copy = platform::copyFileRange(m_file, start + done, part, length);
        if (copy.fault == platform::CopyFault::Write) {
            return fail(tr("Cannot write %1: %2 (is the disk full?)")
                            .arg(QDir::toNativeSeparators(target), copy.error));
        }
        if (copy.copied != length)
            return fail(cutShort);
        done += length;
        bytesDone.fetch_add(length, std::memory_order_relaxed);
    }
    part.close();
    if (part.error() != QFileDevice::NoError) {
        const QString reason = part.errorString();
        part.remove();
        *error = tr("Cannot write %1: %2 (is the disk full?)").arg(QDir::toNativeSeparators(target), reason);
        return false;
    }
    QFile::remove(target);
    if (!QFile::rename(partPath, target)) {
        *error = tr("Cannot put %1 in place.").arg(QDir::toNativeSeparators(target));
        return false;
    }
    return true;
}

} // namespace x360
