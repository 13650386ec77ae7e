#include "x360/writer/discwriter.h"

#include "x360/writer/pattern.h"

#include <QDir>
#include <QFile>
#include <map>

namespace x360::writer {

namespace {

constexpr qint64 sector = 2048;
constexpr quint32 firstTableSector = 33; // right after the volume descriptor
constexpr qint64 streamChunk = 4 << 20;

void putLe16(QByteArray &b, qsizetype at, quint32 v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char((v >> 8) & 0xFF);
}
void putLe32(QByteArray &b, qsizetype at, quint32 v)
{
    putLe16(b, at, v & 0xFFFF);
    putLe16(b, at + 2, v >> 16);
}

struct Node {
    QString name;
    bool folder = true;
    int file = -1;
    std::map<QString, Node> children; // keyed by the upper-case name: the tree's sort order
    quint32 sector = 0;
    quint32 size = 0;
    QByteArray table;
};

Node *child(Node &parent, const QString &name, bool folder)
{
    Node &node = parent.children[name.toUpper()];
    node.name = name;
    node.folder = folder;
    return &node;
}

Node *folderFor(Node &root, const QStringList &segments)
{
    Node *node = &root;
    for (const QString &segment : segments)
        node = child(*node, segment, true);
    return node;
}

// Preorder: each subtree's root first, so the tree's root sits at offset 0 of the table.
int emitTree(QByteArray &table, const std::vector<const Node *> &items, int lo, int hi)
{
    if (lo > hi)
        return -1;
    const int mid = (lo + hi) / 2;
    const Node *node = items[size_t(mid)];
    QByteArray entry =
        tableEntry(0, 0, node->sector, node->size, node->folder ? 0x10 : 0x20, node->name.toLatin1());
    // An entry never straddles a sector.
    const qsizetype offset0 = table.size();
    if (offset0 / sector != (offset0 + entry.size() - 1) / sector)
        table.append(QByteArray(sector - offset0 % sector, char(0xFF)));
    const qsizetype offset = table.size();
    table.append(entry);
    const int left = emitTree(table, items, lo, mid - 1);
    const int right = emitTree(table, items, mid + 1, hi);
    putLe16(table, offset, left < 0 ? 0 : quint32(left / 4));
    putLe16(table, offset + 2, right < 0 ? 0 : quint32(right / 4));
    return int(offset);
}

void buildTable(Node &folder)
{
    std::vector<const Node *> items;
    for (const auto &[key, node] : folder.children)
        items.push_back(&node);
    folder.table.clear();
    emitTree(folder.table, items, 0, int(items.size()) - 1);
    if (folder.table.size() % sector)
        folder.table.append(QByteArray(sector - folder.table.size() % sector, char(0xFF)));
    folder.size = quint32(folder.table.size());
}

void sizeTables(Node &folder)
{
    for (auto &[key, node] : folder.children) {
        if (node.folder)
            sizeTables(node);
    }
    buildTable(folder);
}

void placeTables(Node &folder, quint32 &next)
{
    folder.sector = folder.size ? next : 0;
    next += folder.size / sector;
    for (auto &[key, node] : folder.children) {
        if (node.folder)
            placeTables(node, next);
    }
}

void collectTables(Node &folder, QList<Node *> &out)
{
    out.append(&folder);
    for (auto &[key, node] : folder.children) {
        if (node.folder)
            collectTables(node, out);
    }
}

} // namespace

QByteArray tableEntry(quint16 left, quint16 right, quint32 sectorNumber, quint32 size, quint8 attributes,
                      const QByteArray &name)
{
    QByteArray entry(14, '\0');
    putLe16(entry, 0, left);
    putLe16(entry, 2, right);
    putLe32(entry, 4, sectorNumber);
    putLe32(entry, 8, size);
    entry[12] = char(attributes);
    entry[13] = char(name.size());
    entry.append(name);
    while (entry.size() % 4)
        entry.append(char(0xFF));
    return entry;
}

QByteArray volumeDescriptor(quint32 rootSector, quint32 rootSize)
{
    static const QByteArray magic("MICROSOFT*XBOX*MEDIA");
    QByteArray block(sector, '\0');
    block.replace(0, magic.size(), magic);
    putLe32(block, 20, rootSector);
    putLe32(block, 24, rootSize);
    block.replace(0x7EC, magic.size(), magic);
    return block;
}

void DiscImage::addFolder(const QString &path)
{
    m_folders.append(path);
}

void DiscImage::addFile(const QString &path, const QByteArray &data)
{
    m_files.append(File{path, data, data.size(), 0, false});
}

void DiscImage::addPatternFile(const QString &path, qint64 size, quint32 seed)
{
    m_files.append(File{path, QByteArray(), size, seed, true});
}

bool DiscImage::write(const QString &fileName, qint64 partitionOffset, QString *error) const
{
    Node root;
    for (const QString &folder : m_folders)
        folderFor(root, folder.split(u'/', Qt::SkipEmptyParts));
    QList<Node *> fileNodes;
    for (int i = 0; i < m_files.size(); ++i) {
        QStringList segments = m_files[i].path.split(u'/', Qt::SkipEmptyParts);
        const QString name = segments.takeLast();
        Node *node = child(*folderFor(root, segments), name, false);
        node->file = i;
        node->size = quint32(m_files[i].size);
        fileNodes.append(node);
    }
    sizeTables(root); // sizes only depend on the names
    quint32 next = firstTableSector;
    placeTables(root, next);
    for (Node *node : std::as_const(fileNodes)) {
        node->sector = node->size ? next : 0;
        next += quint32((node->size + sector - 1) / sector);
    }
    QList<Node *> tables;
    collectTables(root, tables);
    for (Node *table : std::as_const(tables))
        buildTable(*table); // again, now with the final sectors

    QFile out(fileName);
    const auto fail = [&] {
        *error =
            QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(fileName), out.errorString());
        return false;
    };
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail();
    const auto put = [&](qint64 at, const char *data, qint64 length) {
        return out.seek(partitionOffset + at) && out.write(data, length) == length;
    };
    const QByteArray descriptor = volumeDescriptor(root.sector, root.size);
    if (!put(32 * sector, descriptor.constData(), descriptor.size()))
        return fail();
    for (const Node *table : std::as_const(tables)) {
        if (table->size && !put(qint64(table->sector) * sector, table->table.constData(), table->size))
            return fail();
    }
    QByteArray buffer;
    for (const Node *node : std::as_const(fileNodes)) {
        const File &file = m_files[node->file];
        const qint64 at = qint64(node->sector) * sector;
        if (!file.pattern) {
            if (!file.data.isEmpty() && !put(at, file.data.constData(), file.data.size()))
                return fail();
            continue;
        }
        buffer.resize(std::min<qint64>(streamChunk, file.size));
        for (qint64 done = 0; done < file.size; done += buffer.size()) {
            const qint64 length = std::min<qint64>(buffer.size(), file.size - done);
            fillPattern(buffer.data(), length, done, file.seed);
            if (!put(at + done, buffer.constData(), length))
                return fail();
        }
    }
    if (!out.resize(partitionOffset + qint64(next) * sector) || !out.flush())
        return fail();
    return true;
}

} // namespace x360::writer
