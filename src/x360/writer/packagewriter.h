#pragma once
// Builds STFS packages ("LIVE", "PIRS", "CON ") in memory: header, file table, data blocks and the
// level-0 hash tables whose entries chain a file's blocks.

#include <QByteArray>
#include <QList>
#include <QString>

namespace x360::writer {

// Fixed places in a package header.
namespace stfsfield {
constexpr int headerSize = 0x340;
constexpr int contentType = 0x344;
constexpr int mediaId = 0x354;
constexpr int version = 0x358;
constexpr int baseVersion = 0x35C;
constexpr int titleId = 0x360;
constexpr int blockSeparation = 0x37B;
constexpr int tableBlockCount = 0x37C;
constexpr int tableBlock = 0x37E;
constexpr int displayName = 0x411;
constexpr int titleName = 0x1691;
} // namespace stfsfield

// One raw 64-byte file table entry.
QByteArray fileTableEntry(const QByteArray &name, bool folder, bool contiguous, quint32 blockCount,
                          quint32 firstBlock, qint16 parent, quint32 size);

class PackageBuilder {
public:
    QByteArray magic = "LIVE";
    quint32 headerSize = 0x971A;
    quint32 contentType = 0xB0000;
    quint32 mediaId = 0;
    quint32 version = 0;
    quint32 baseVersion = 0;
    quint32 titleId = 0;
    // Bit 0 set: one copy of each hash table; clear: two copies, bit 1 picking the live one.
    quint8 blockSeparation = 0;
    QString displayName;
    QString titleName;

    void addFolder(const QString &path);
    // `scattered` stores the blocks back to front so the file is read through its hash chain.
    void addFile(const QString &path, const QByteArray &data, bool scattered = false);
    QByteArray build() const;

private:
    struct Item {
        QString path;
        QByteArray data;
        bool folder = false;
        bool scattered = false;
    };
    int indexOf(const QString &path) const;
    QList<Item> m_items;
};

} // namespace x360::writer
