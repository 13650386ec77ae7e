#include "x360/package.h"

#include "x360/bytes.h"
#include "x360/names.h"

#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <vector>

namespace x360 {

namespace {

constexpr qsizetype entrySize = 64;

QString utf16Name(const QByteArray &b, qsizetype at)
{
    QString text;
    for (int i = 0; i < 64; ++i) {
        const char16_t c = char16_t(bytes::be16(b, at + 2 * i));
        if (c == 0)
            break;
        text.append(QChar(c));
    }
    return text;
}

// The blocks of one chain seen so far: a small set for the usual short chains, one bit per possible
// block number (2 MiB) once a chain gets long.
class BlockSet {
public:
    bool insert(quint32 block)
    {
        if (m_bits.empty()) {
            if (m_small.contains(block))
                return false;
            m_small.insert(block);
            if (m_small.size() < 4096)
                return true;
            m_bits.assign((stfs::endOfChain + 1) / 64, 0);
            for (const quint32 seen : std::as_const(m_small))
                set(seen);
            m_small.clear();
            return true;
        }
        return set(block);
    }

private:
    bool set(quint32 block)
    {
        quint64 &word = m_bits[block / 64];
        const quint64 bit = quint64(1) << (block % 64);
        if (word & bit)
            return false;
        word |= bit;
        return true;
    }
    QSet<quint32> m_small;
    std::vector<quint64> m_bits;
};

} // namespace

QString contentTypeName(quint32 value)
{
    switch (value) {
    case 0x1:
        return QCoreApplication::translate("x360", "saved game");
    case 0x2:
        return QCoreApplication::translate("x360", "downloadable content");
    case 0x4000:
        return QCoreApplication::translate("x360", "installed game");
    case 0x7000:
        return QCoreApplication::translate("x360", "game on demand");
    case 0x20000:
        return QCoreApplication::translate("x360", "gamer picture");
    case 0x30000:
        return QCoreApplication::translate("x360", "theme");
    case 0x80000:
        return QCoreApplication::translate("x360", "game demo");
    case 0x90000:
        return QCoreApplication::translate("x360", "video");
    case 0xB0000:
        return QCoreApplication::translate("x360", "title update");
    default:
        break;
    }
    return QCoreApplication::translate("x360", "content type %1")
        .arg(QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper());
}

bool Package::open(const QString &path, QString *error)
{
    QString ignoredError; // the caller may want only the verdict
    if (!error)
        error = &ignoredError;
    entries.clear();
    header.clear();
    magic.clear();
    displayName.clear();
    titleName.clear();
    if (m_file.isOpen())
        m_file.close();
    m_hashTableAt = -1;
    m_hashTable.clear();
    m_file.setFileName(path);
    const QString fileName = QFileInfo(path).fileName();
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = tr("Cannot open %1: %2").arg(QDir::toNativeSeparators(path), m_file.errorString());
        return false;
    }
    const QByteArray head = m_file.read(headerReadSize);
    const QByteArray start = head.left(4);
    if (head.size() < minimumSize || (start != "LIVE" && start != "PIRS" && start != "CON ")) {
        *error = tr("%1 is not an Xbox 360 package (no LIVE, PIRS or CON header).").arg(fileName);
        return false;
    }
    magic = QString::fromLatin1(start).trimmed();
    headerSize = bytes::be32(head, 0x340);
    contentType = bytes::be32(head, 0x344);
    mediaId = bytes::be32(head, 0x354);
    version = bytes::be32(head, 0x358);
    baseVersion = bytes::be32(head, 0x35C);
    titleId = bytes::be32(head, 0x360);
    blockSeparation = quint8(bytes::u8(head, 0x37B));
    fileTableBlockCount = quint16(bytes::le16(head, 0x37C));
    fileTableBlock = bytes::le24(head, 0x37E);
    displayName = utf16Name(head, 0x411);
    titleName = utf16Name(head, 0x1691);

    if (headerSize < minHeaderSize || headerSize > maxHeaderSize || fileTableBlockCount < 1 ||
        fileTableBlockCount > maxTableBlocks) {
        *error = tr("%1 has a package header this reader does not know (an SVOD package, or a damaged file).")
                     .arg(fileName);
        return false;
    }
    if (m_file.seek(0))
        header = m_file.read(headerSize);
    if (header.size() != qsizetype(headerSize)) {
        header.clear();
        *error = tr("%1 is cut short.").arg(fileName);
        return false;
    }
    m_layout = stfs::layoutFor(headerSize, blockSeparation);
    QByteArray table;
    if (!readFileTable(&table, error) || !parseFileTable(table, error)) {
        entries.clear();
        return false;
    }
    return true;
}

Package::Fault Package::readBlock(quint32 block, qint64 length, QByteArray *out)
{
    out->clear();
    if (!m_file.seek(stfs::blockOffset(m_layout, block)))
        return Fault::Block;
    *out = m_file.read(length);
    return out->isEmpty() ? Fault::Block : Fault::None;
}

Package::Fault Package::nextBlock(quint32 block, quint32 *next)
{
    const qint64 entryAt = stfs::hashEntryOffset(m_layout, block);
    const qint64 tableAt = entryAt - qint64(block % stfs::blocksPerTable) * stfs::hashEntrySize;
    if (tableAt != m_hashTableAt) {
        m_hashTable.clear();
        m_hashTableAt = -1;
        if (!m_file.seek(tableAt))
            return Fault::HashTable;
        m_hashTable = m_file.read(stfs::blocksPerTable * stfs::hashEntrySize);
        m_hashTableAt = tableAt;
    }
    const qint64 at = entryAt - tableAt;
    if (m_hashTable.size() < at + stfs::hashEntrySize)
        return Fault::HashTable;
    *next = bytes::be24(m_hashTable, at + 21);
    return Fault::None;
}

bool Package::readFileTable(QByteArray *table, QString *error)
{
    quint32 block = fileTableBlock;
    QByteArray data;
    for (int i = 0; i < fileTableBlockCount; ++i) {
        if (i > 0 && nextBlock(block, &block) != Fault::None) {
            *error = tr("The package is cut short (a hash table lies past its end).");
            return false;
        }
        // A table block cut anywhere would silently drop the files listed after the cut.
        if (readBlock(block, stfs::blockSize, &data) != Fault::None || data.size() < stfs::blockSize) {
            *error = tr("The package is cut short (block %1 lies past its end).").arg(block);
            return false;
        }
        table->append(data);
    }
    return true;
}

bool Package::parseFileTable(const QByteArray &table, QString *error)
{
    QStringList names;
    for (qsizetype at = 0; at + entrySize <= table.size(); at += entrySize) {
        const quint32 flags = bytes::u8(table, at + 40);
        // Six bits of length, but the name field holds 40 bytes.
        const int length = std::min<int>(flags & 0x3F, 40);
        if (length == 0)
            continue;
        const QString name = QString::fromLatin1(table.constData() + at, length);
        if (!isUsableName(name)) {
            *error = tr("The package has a file name that cannot be used: %1").arg(name);
            return false;
        }
        if (entries.size() > maxEntries - 1) {
            *error = tr("The package lists too many files.");
            return false;
        }
        PackageEntry entry;
        entry.path = name;
        entry.isFolder = (flags & 0x80) != 0;
        entry.contiguous = (flags & 0x40) != 0;
        entry.blockCount = bytes::le24(table, at + 41);
        entry.firstBlock = bytes::le24(table, at + 47);
        entry.parent = qint16(bytes::be16(table, at + 50));
        entry.size = bytes::be32(table, at + 52);
        entries.append(entry);
        names.append(name);
    }
    for (PackageEntry &entry : entries) {
        QStringList parts{entry.path};
        int parent = entry.parent;
        while (parent >= 0 && parent < names.size() && parts.size() <= maxParents) {
            parts.prepend(names[parent]);
            parent = entries[parent].parent;
        }
        entry.path = parts.join(u'/');
    }
    return true;
}

const PackageEntry *Package::find(const QString &path) const
{
    for (const PackageEntry &entry : entries) {
        if (!entry.isFolder && entry.path.compare(path, Qt::CaseInsensitive) == 0)
            return &entry;
    }
    return nullptr;
}

bool Package::fileRuns(const PackageEntry &entry, QList<Run> *runs, QString *error)
{
    runs->clear();
    const auto fail = [&](const QString &message) {
        runs->clear();
        *error = message;
        return false;
    };
    const qint64 fileSize = m_file.size();
    BlockSet visited;
    quint32 block = entry.firstBlock;
    qint64 remaining = entry.size;
    quint32 count = 0;
    while (remaining > 0) {
        // A chain that returns to a block it has read would repeat bytes forever, or worse,
        // end by chance and hand back a file that is not the one stored.
        if (++count > maxChainBlocks || (!entry.contiguous && !visited.insert(block)))
            return fail(tr("The package's block chain for %1 loops.").arg(entry.path));
        const qint64 length = std::min<qint64>(remaining, stfs::blockSize);
        const qint64 at = block > stfs::endOfChain ? -1 : stfs::blockOffset(m_layout, block);
        if (at < 0 || at + length > fileSize)
            return fail(tr("The package is cut short (%1 lies past its end).").arg(entry.path));
        if (!runs->isEmpty() && runs->last().offset + runs->last().length == at)
            runs->last().length += length;
        else
            runs->append(Run{at, length});
        remaining -= length;
        if (remaining == 0)
            break;
        if (entry.contiguous) {
            ++block;
        } else if (nextBlock(block, &block) != Fault::None) {
            return fail(tr("The package is cut short (%1 lies past its end).").arg(entry.path));
        }
    }
    return true;
}

bool Package::read(const PackageEntry &entry, QByteArray *bytes, QString *error)
{
    QString ignoredError; // the caller may want only the verdict
    if (!error)
        error = &ignoredError;
    bytes->clear();
    if (entry.isFolder)
        return true;
    QList<Run> runs;
    if (!fileRuns(entry, &runs, error))
        return false;
    bytes->resize(entry.size);
    char *to = bytes->data();
    for (const Run &run : std::as_const(runs)) {
        if (!m_file.seek(run.offset) || m_file.read(to, run.length) != run.length) {
            bytes->clear();
            *error = tr("The package is cut short (%1 lies past its end).").arg(entry.path);
            return false;
        }
        to += run.length;
    }
    return true;
}

bool Package::extractAll(const QString &destination, QString *error)
{
    QString ignoredError; // the caller may want only the verdict
    if (!error)
        error = &ignoredError;
    QList<Run> runs;
    QString madeFolder;
    for (const PackageEntry &entry : std::as_const(entries)) {
        const QString target = destination + u'/' + entry.path;
        if (entry.isFolder) {
            if (!QDir().mkpath(target)) {
                *error = tr("Cannot make the folder %1.").arg(QDir::toNativeSeparators(target));
                return false;
            }
            continue;
        }
        // The chain is checked whole before anything is written; the data then goes run by run
        // from the package to the file, never held whole.
        if (!fileRuns(entry, &runs, error))
            return false;
        const QString parent = QFileInfo(target).path();
        // Files of one folder mostly follow each other: make each folder once in a row.
        if (parent != madeFolder && !QDir().mkpath(parent)) {
            *error = tr("Cannot make the folder %1.").arg(QDir::toNativeSeparators(parent));
            return false;
        }
        madeFolder = parent;
        QFile part(target + QLatin1String(".part"));
        const auto fail = [&](const QString &message) {
            part.close();
            part.remove();
            *error = message;
            return false;
        };
        const auto cannotWrite = [&](const QString &reason) {
            return fail(
                tr("Cannot write %1: %2 (is the disk full?)").arg(QDir::toNativeSeparators(target), reason));
        };
        if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return cannotWrite(part.errorString());
        for (const Run &run : std::as_const(runs)) {
            const platform::RangeCopy copy = platform::copyFileRange(m_file, run.offset, part, run.length);
            if (copy.fault == platform::CopyFault::Write)
                return cannotWrite(copy.error);
            // The package changed under us since its chain was checked.
            if (copy.copied != run.length)
                return fail(tr("The package is cut short (%1 lies past its end).").arg(entry.path));
        }
        part.close();
        if (part.error() != QFileDevice::NoError)
            return cannotWrite(part.errorString());
        QFile::remove(target);
        if (!part.rename(target)) {
            *error = tr("Cannot put %1 in place.").arg(QDir::toNativeSeparators(target));
            return false;
        }
    }
    return true;
}

} // namespace x360
