#pragma once
// x360::Package: an Xbox 360 package ("LIVE", "PIRS" or "CON " container of the STFS file system)
// as the console keeps title updates and downloadable content: header fields, file table, files.

#include "x360/stfs.h"

#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QString>

namespace x360 {

struct PackageEntry {
    QString path;
    bool isFolder = false;
    bool contiguous = false; // the file's blocks follow each other
    quint32 blockCount = 0;
    quint32 firstBlock = 0;
    qint16 parent = -1; // index of the parent folder entry, -1 for the root
    quint32 size = 0;
};

// "saved game", "title update", ... or "content type 000D0000" for values without a name.
QString contentTypeName(quint32 value);

class Package {
    Q_DECLARE_TR_FUNCTIONS(Package)

public:
    static constexpr qint64 headerReadSize = 0xA71A;
    static constexpr qint64 minimumSize = 5905;
    static constexpr quint32 minHeaderSize = 0x971A;
    static constexpr quint32 maxHeaderSize = 1048576;
    static constexpr int maxTableBlocks = 1024;
    static constexpr int maxEntries = 65536;
    static constexpr int maxParents = 64;
    static constexpr quint32 maxChainBlocks = 0x100000;

    Package() = default;
    Package(const Package &) = delete;
    Package &operator=(const Package &) = delete;

    bool open(const QString &path, QString *error);
    const PackageEntry *find(const QString &path) const;
    bool read(const PackageEntry &entry, QByteArray *bytes, QString *error);
    bool extractAll(const QString &destination, QString *error);

    QString magic;
    quint32 headerSize = 0;
    quint32 contentType = 0;
    quint32 mediaId = 0;
    quint32 version = 0;
    quint32 baseVersion = 0;
    quint32 titleId = 0;
    quint8 blockSeparation = 0;
    quint16 fileTableBlockCount = 0;
    quint32 fileTableBlock = 0;
    QString displayName;
    QString titleName;
    QByteArray header;
    QList<PackageEntry> entries;

    int tableShift() const { return m_layout.tableShift; }
    qint64 firstHashTable() const { return m_layout.firstHashTable; }

private:
    // Consecutive bytes of one file lying together in the package.
    struct Run {
        qint64 offset = 0;
        qint64 length = 0;
    };
    enum class Fault { None, Block, HashTable };
    Fault readBlock(quint32 block, qint64 length, QByteArray *out);
    Fault nextBlock(quint32 block, quint32 *next);
    // Where the file's bytes lie, in order, neighbouring blocks joined into one run. The whole chain
    // is followed and checked (loops, blocks past the end) before any of its data is read.
    bool fileRuns(const PackageEntry &entry, QList<Run> *runs, QString *error);
    bool readFileTable(QByteArray *table, QString *error);
    bool parseFileTable(const QByteArray &table, QString *error);

    QFile m_file;
    stfs::Layout m_layout;
    // The hash table read last: a chain reads each of its tables once, not once per block.
    qint64 m_hashTableAt = -1;
    QByteArray m_hashTable;
};

} // namespace x360
