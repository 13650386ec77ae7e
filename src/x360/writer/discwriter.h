#pragma once
// Writes XDVDFS disc images: a volume descriptor, one binary-tree table per folder and the files'
// data, at any game partition offset. Large files are streamed from a pattern, never held whole.

#include <QByteArray>
#include <QList>
#include <QString>

namespace x360::writer {

constexpr qint64 xgd2Offset = 0x0FD90000;
constexpr qint64 xgd3Offset = 0x02080000;

// One raw folder table entry; `left` and `right` are links in units of 4 bytes (0 = none).
QByteArray tableEntry(quint16 left, quint16 right, quint32 sector, quint32 size, quint8 attributes,
                      const QByteArray &name);
// The 2048-byte volume descriptor sector (partition sector 32).
QByteArray volumeDescriptor(quint32 rootSector, quint32 rootSize);

class DiscImage {
public:
    void addFolder(const QString &path);
    void addFile(const QString &path, const QByteArray &data);
    // A file of `size` pattern bytes made from `seed`.
    void addPatternFile(const QString &path, qint64 size, quint32 seed);

    // Writes the image; the file data goes in the order the files were added.
    bool write(const QString &fileName, qint64 partitionOffset, QString *error) const;

private:
    struct File {
        QString path;
        QByteArray data;
        qint64 size = 0;
        quint32 seed = 0;
        bool pattern = false;
    };
    QList<File> m_files;
    QStringList m_folders;
};

} // namespace x360::writer
