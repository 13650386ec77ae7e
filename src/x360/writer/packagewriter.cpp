#include "x360/writer/packagewriter.h"

#include "x360/stfs.h"

#include <QCryptographicHash>

namespace x360::writer {

namespace {

void putBe(QByteArray &b, qsizetype at, quint32 v, int width)
{
    for (int i = 0; i < width; ++i)
        b[at + i] = char((v >> (8 * (width - 1 - i))) & 0xFF);
}
void putLe(QByteArray &b, qsizetype at, quint32 v, int width)
{
    for (int i = 0; i < width; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}
void putUtf16(QByteArray &b, qsizetype at, const QString &text)
{
    const QString cut = text.left(63);
    for (int i = 0; i < cut.size(); ++i)
        putBe(b, at + 2 * i, cut[i].unicode(), 2);
}
quint32 blocksFor(qint64 size)
{
    return quint32((size + stfs::blockSize - 1) / stfs::blockSize);
}

} // namespace

QByteArray fileTableEntry(const QByteArray &name, bool folder, bool contiguous, quint32 blockCount,
                          quint32 firstBlock, qint16 parent, quint32 size)
{
    QByteArray entry(64, '\0');
    entry.replace(0, std::min<qsizetype>(name.size(), 40), name.left(40));
    entry[40] = char((name.size() & 0x3F) | (folder ? 0x80 : 0) | (contiguous ? 0x40 : 0));
    putLe(entry, 41, blockCount, 3);
    putLe(entry, 44, blockCount, 3);
    putLe(entry, 47, firstBlock, 3);
    putBe(entry, 50, quint16(parent), 2);
    putBe(entry, 52, size, 4);
    return entry;
}

int PackageBuilder::indexOf(const QString &path) const
{
    for (int i = 0; i < m_items.size(); ++i) {
        if (m_items[i].folder && m_items[i].path == path)
            return i;
    }
    return -1;
}

void PackageBuilder::addFolder(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash > 0 && indexOf(path.left(slash)) < 0)
        addFolder(path.left(slash));
    if (indexOf(path) < 0)
        m_items.append(Item{path, QByteArray(), true, false});
}

void PackageBuilder::addFile(const QString &path, const QByteArray &data, bool scattered)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash > 0)
        addFolder(path.left(slash));
    m_items.append(Item{path, data, false, scattered});
}

QByteArray PackageBuilder::build() const
{
    const stfs::Layout layout = stfs::layoutFor(headerSize, blockSeparation);
    const quint32 tableBlocks = std::max<quint32>(1, blocksFor(qint64(m_items.size()) * 64));

    // Block numbers: the file table first, then each file's run.
    QList<QList<quint32>> chains;
    quint32 next = tableBlocks;
    for (const Item &item : m_items) {
        QList<quint32> chain;
        const quint32 count = item.folder ? 0 : blocksFor(item.data.size());
        for (quint32 i = 0; i < count; ++i)
            chain.append(item.scattered ? next + count - 1 - i : next + i);
        next += count;
        chains.append(chain);
    }
    const quint32 totalBlocks = next;
    const qint64 end = stfs::blockOffset(layout, totalBlocks - 1) + stfs::blockSize;
    QByteArray out(end, '\0');

    const auto putBlock = [&](quint32 block, const QByteArray &data, quint32 following) {
        QByteArray padded = data.left(stfs::blockSize);
        padded.append(QByteArray(stfs::blockSize - padded.size(), '\0'));
        out.replace(stfs::blockOffset(layout, block), stfs::blockSize, padded);
        QByteArray hash = QCryptographicHash::hash(padded, QCryptographicHash::Sha1);
        hash.append(char(0x80));
        hash.append(char((following >> 16) & 0xFF));
        hash.append(char((following >> 8) & 0xFF));
        hash.append(char(following & 0xFF));
        out.replace(stfs::hashEntryOffset(layout, block), stfs::hashEntrySize, hash);
    };

    QByteArray table;
    for (int i = 0; i < m_items.size(); ++i) {
        const Item &item = m_items[i];
        const qsizetype slash = item.path.lastIndexOf(u'/');
        const qint16 parent = slash > 0 ? qint16(indexOf(item.path.left(slash))) : qint16(-1);
        const QList<quint32> &chain = chains[i];
        table.append(fileTableEntry(item.path.mid(slash + 1).toLatin1(), item.folder, !item.scattered,
                                    quint32(chain.size()), chain.isEmpty() ? 0 : chain.first(), parent,
                                    quint32(item.data.size())));
    }
    for (quint32 b = 0; b < tableBlocks; ++b)
        putBlock(b, table.mid(b * stfs::blockSize, stfs::blockSize),
                 b + 1 < tableBlocks ? b + 1 : stfs::endOfChain);
    for (int i = 0; i < m_items.size(); ++i) {
        const QList<quint32> &chain = chains[i];
        for (int k = 0; k < chain.size(); ++k) {
            putBlock(chain[k], m_items[i].data.mid(qsizetype(k) * stfs::blockSize, stfs::blockSize),
                     k + 1 < chain.size() ? chain[k + 1] : stfs::endOfChain);
        }
    }

    // Header, after the blocks so nothing overwrites it.
    QByteArray head(headerSize, '\0');
    head.replace(0, 4, magic.leftJustified(4, ' ', true));
    putBe(head, stfsfield::headerSize, headerSize, 4);
    putBe(head, stfsfield::contentType, contentType, 4);
    putBe(head, 0x348, 2, 4); // metadata version
    putBe(head, 0x350, quint32(qint64(totalBlocks) * stfs::blockSize), 4);
    putBe(head, stfsfield::mediaId, mediaId, 4);
    putBe(head, stfsfield::version, version, 4);
    putBe(head, stfsfield::baseVersion, baseVersion, 4);
    putBe(head, stfsfield::titleId, titleId, 4);
    head[0x379] = char(0x24); // volume descriptor size
    head[stfsfield::blockSeparation] = char(blockSeparation);
    putLe(head, stfsfield::tableBlockCount, tableBlocks, 2);
    putLe(head, stfsfield::tableBlock, 0, 3);
    putBe(head, 0x395, totalBlocks, 4);
    putUtf16(head, stfsfield::displayName, displayName);
    putUtf16(head, stfsfield::titleName, titleName);
    out.replace(0, head.size(), head);
    return out;
}

} // namespace x360::writer
