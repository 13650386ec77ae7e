#pragma once
// x360::Disc: an Xbox 360 game disc image. Finds the Xbox file system (XDVDFS) in the image, lists
// its folders and files, reads single files and extracts the tree with resumable per-file writes.

#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QString>
#include <atomic>
#include <functional>

namespace x360 {

struct DiscEntry {
    QString path;       // segments joined with "/", no leading slash
    quint32 sector = 0; // first sector of the data (or of the folder's table), from the partition
    quint32 size = 0;   // bytes (for a folder, the size of its table)
    bool isFolder = false;
};

// A predicate on an entry's path: true leaves the entry out.
using PathFilter = std::function<bool(const QString &path)>;

// True for the console's dashboard update folder ("$SystemUpdate", any letter case) and all below.
bool isSystemUpdate(const QString &path);

class Disc {
    Q_DECLARE_TR_FUNCTIONS(Disc)

public:
    static constexpr qint64 sectorSize = 2048;
    static constexpr qint64 descriptorOffset = 0x10000;
    static constexpr int maxEntries = 200000;
    static constexpr int maxDepth = 32;
    static constexpr qint64 chunkSize = 0x400000;
    // Extraction copies a file in pieces of this size, and sees a cancel between two pieces.
    static constexpr qint64 copyPiece = 0x400000;

    Disc() = default;
    Disc(const Disc &) = delete;
    Disc &operator=(const Disc &) = delete;

    bool open(const QString &path, QString *error);
    QString partitionName() const;
    qint64 partitionOffset() const { return m_partitionOffset; }
    const QList<DiscEntry> &entries() const { return m_entries; }
    QString path() const { return m_file.fileName(); }

    const DiscEntry *find(const QString &path) const;
    bool read(const DiscEntry &entry, QByteArray *bytes, QString *error);
    int fileCount(const PathFilter &skip = {}) const;
    qint64 totalBytes(const PathFilter &skip = {}) const;

    // Writes every entry that `skip` does not leave out under `destination`, reading the image
    // front to back. Another thread may set `cancel` and sample the two counters at any time.
    bool extractAll(const QString &destination, const PathFilter &skip, const std::atomic<bool> &cancel,
                    std::atomic<qint64> &bytesDone, std::atomic<int> &filesDone, QString *error);

private:
    bool findPartition();
    bool walk(quint32 sector, quint32 size, const QString &prefix, int depth, QString *error);
    bool extractFile(const DiscEntry &entry, const QString &target, const std::atomic<bool> &cancel,
                     std::atomic<qint64> &bytesDone, QString *error);
    bool seekData(quint32 sector);

    QFile m_file;
    qint64 m_partitionOffset = 0;
    int m_knownIndex = -1;
    QList<DiscEntry> m_entries;
};

} // namespace x360
