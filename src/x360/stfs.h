#pragma once
// Block addressing of the STFS file system inside Xbox 360 packages. Data blocks of 4096 bytes are
// interleaved with hash tables: one level-0 table before every 170 blocks, one level-1 table before
// every 28900, and one level-2 table. Packages keep either one copy of each table or two (then the
// "table shift" is 1 and a flag picks the live copy of the first table).

#include <QtGlobal>

namespace x360::stfs {

constexpr qint64 blockSize = 4096;
constexpr quint32 blocksPerTable = 170;
constexpr quint32 blocksPerLevel1 = 28900;
constexpr qint64 hashEntrySize = 24;
constexpr quint32 endOfChain = 0xFFFFFF;

struct Layout {
    qint64 firstHashTable = 0; // header size raised to the next multiple of 4096
    int tableShift = 0;        // 1 when each hash table is kept twice
    bool secondTable = false;  // two copies: the live first table is the second one
};

Layout layoutFor(quint32 headerSize, quint8 blockSeparation);
qint64 blockOffset(const Layout &layout, quint32 block);
// Where the 24-byte hash entry of `block` lies; bytes 21-23 name the next block of a chain.
qint64 hashEntryOffset(const Layout &layout, quint32 block);

} // namespace x360::stfs
