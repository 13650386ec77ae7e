// Extraction of a whole disc: front to back through one buffer, each file written as ".part" and
// renamed, so an interrupted run leaves only whole files and the next run resumes after them.

#include "x360/disc.h"

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

    QByteArray buffer;
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
        if (!QDir().mkpath(parent)) {
            *error = tr("Cannot make the folder %1.").arg(QDir::toNativeSeparators(parent));
            return false;
        }
        const QFileInfo existing(target);
        if (existing.isFile() && !existing.isSymLink() && existing.size() == qint64(entry->size)) {
            bytesDone.fetch_add(entry->size, std::memory_order_relaxed);
            filesDone.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (buffer.isEmpty())
            buffer.resize(chunkSize);
        if (!extractFile(*entry, target, buffer, cancel, bytesDone, error))
            return false;
        filesDone.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

bool Disc::extractFile(const DiscEntry &entry, const QString &target, QByteArray &buffer,
                       const std::atomic<bool> &cancel, std::atomic<qint64> &bytesDone, QString *error)
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
    if (!seekData(entry.sector))
        return fail(cutShort);
    qint64 remaining = entry.size;
    while (remaining > 0) {
        if (cancel.load(std::memory_order_relaxed))
            return fail(tr("Cancelled."));
        const qint64 length = std::min<qint64>(remaining, buffer.size());
        if (m_file.read(buffer.data(), length) != length)
            return fail(cutShort);
        if (part.write(buffer.constData(), length) != length) {
            const QString reason = part.errorString();
            return fail(
                tr("Cannot write %1: %2 (is the disk full?)").arg(QDir::toNativeSeparators(target), reason));
        }
        remaining -= length;
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
