#include "x360/stfs.h"

namespace x360::stfs {

Layout layoutFor(quint32 headerSize, quint8 blockSeparation)
{
    Layout layout;
    layout.firstHashTable = (qint64(headerSize) + blockSize - 1) / blockSize * blockSize;
    layout.tableShift = (blockSeparation & 1) ? 0 : 1;
    layout.secondTable = layout.tableShift == 1 && (blockSeparation & 2) != 0;
    return layout;
}

qint64 blockOffset(const Layout &layout, quint32 block)
{
    const int shift = layout.tableShift;
    qint64 n = (qint64(block + blocksPerTable) / blocksPerTable) << shift;
    n += block;
    if (block >= blocksPerTable)
        n += (qint64(block + blocksPerLevel1) / blocksPerLevel1) << shift;
    if (block >= blocksPerLevel1)
        n += qint64(1) << shift;
    return layout.firstHashTable + n * blockSize;
}

qint64 hashEntryOffset(const Layout &layout, quint32 block)
{
    const int shift = layout.tableShift;
    qint64 h = 0;
    if (block >= blocksPerTable) {
        h = qint64(171 + shift) * (block / blocksPerTable) + ((qint64(block / blocksPerLevel1) + 1) << shift);
        if (block / blocksPerLevel1 != 0)
            h += qint64(1) << shift;
    }
    qint64 table = layout.firstHashTable + h * blockSize;
    if (layout.secondTable)
        table += blockSize;
    return table + qint64(block % blocksPerTable) * hashEntrySize;
}

} // namespace x360::stfs
