#include "x360/disc.h"

#include "x360/bytes.h"
#include "x360/names.h"

#include <QDir>
#include <QSet>

namespace x360 {

namespace {

const char volumeMagic[] = "MICROSOFT*XBOX*MEDIA";
constexpr qsizetype magicSize = 20;
constexpr qint64 scanLimit = qint64(1) << 31;

struct KnownPartition {
    qint64 offset;
    const char *name;
};
// Tried in this order before the scan.
const KnownPartition knownPartitions[] = {
    {0, QT_TRANSLATE_NOOP("Disc", "XISO (the game partition alone)")},
    {0x0FD90000, QT_TRANSLATE_NOOP("Disc", "Xbox 360 XGD2 disc")},
    {0x02080000, QT_TRANSLATE_NOOP("Disc", "Xbox 360 XGD3 disc")},
    {0x18300000, QT_TRANSLATE_NOOP("Disc", "original Xbox XGD1 disc")},
};

bool isMagic(const char *p)
{
    return memcmp(p, volumeMagic, magicSize) == 0;
}

} // namespace

bool isSystemUpdate(const QString &path)
{
    const QString first = path.section(u'/', 0, 0);
    return first.compare(QLatin1String("$SystemUpdate"), Qt::CaseInsensitive) == 0;
}

bool Disc::open(const QString &path, QString *error)
{
    QString ignoredError; // the caller may want only the verdict
    if (!error)
        error = &ignoredError;
    m_entries.clear();
    m_partitionOffset = 0;
    m_knownIndex = -1;
    if (m_file.isOpen())
        m_file.close();
    m_file.setFileName(path);
    // Unbuffered: every read here is large or a single seek-and-read; Qt's buffer would only copy.
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = tr("Cannot open %1: %2").arg(QDir::toNativeSeparators(path), m_file.errorString());
        return false;
    }
    if (!findPartition()) {
        *error = tr("This is not an Xbox 360 disc image (no Xbox file system in it).");
        return false;
    }
    QByteArray descriptor;
    if (m_file.seek(m_partitionOffset + descriptorOffset))
        descriptor = m_file.read(28);
    if (descriptor.size() < 28) {
        *error = tr("The image is cut short.");
        return false;
    }
    const quint32 rootSector = bytes::le32(descriptor, 20);
    const quint32 rootSize = bytes::le32(descriptor, 24);
    if (!walk(rootSector, rootSize, QString(), 0, error)) {
        m_entries.clear();
        return false;
    }
    return true;
}

bool Disc::findPartition()
{
    for (int i = 0; i < int(std::size(knownPartitions)); ++i) {
        if (!m_file.seek(knownPartitions[i].offset + descriptorOffset))
            continue;
        const QByteArray magic = m_file.read(magicSize);
        if (magic.size() == magicSize && isMagic(magic.constData())) {
            m_partitionOffset = knownPartitions[i].offset;
            m_knownIndex = i;
            return true;
        }
    }
    // A dump with some other lead-in: look at every sector start in the first 2 GiB.
    QByteArray chunk(chunkSize, Qt::Uninitialized);
    for (qint64 start = 0; start < scanLimit; start += chunkSize) {
        if (!m_file.seek(start))
            return false;
        const qint64 got = m_file.read(chunk.data(), chunkSize);
        if (got < magicSize)
            return false;
        for (qint64 at = 0; at + magicSize <= got; at += sectorSize) {
            const qint64 position = start + at;
            if (position >= descriptorOffset && isMagic(chunk.constData() + at)) {
                m_partitionOffset = position - descriptorOffset;
                for (int i = 0; i < int(std::size(knownPartitions)); ++i) {
                    if (knownPartitions[i].offset == m_partitionOffset)
                        m_knownIndex = i;
                }
                return true;
            }
        }
    }
    return false;
}

QString Disc::partitionName() const
{
    if (m_knownIndex >= 0)
        return tr(knownPartitions[m_knownIndex].name);
    return tr("a disc dump with its game partition at an unusual offset");
}

bool Disc::walk(quint32 sector, quint32 size, const QString &prefix, int depth, QString *error)
{
    if (size == 0)
        return true;
    if (depth > maxDepth) {
        *error = tr("The disc's folders nest too deep.");
        return false;
    }
    const qint64 at = m_partitionOffset + qint64(sector) * sectorSize;
    // Checked against the file's length first, so a damaged size never allocates gigabytes.
    QByteArray table;
    if (at + qint64(size) <= m_file.size() && m_file.seek(at))
        table = m_file.read(size);
    if (table.size() != qsizetype(size)) {
        *error = tr("The image is cut short (a folder lies past its end).");
        return false;
    }
    QList<quint32> stack{0};
    QSet<quint32> visited;
    while (!stack.isEmpty()) {
        const quint32 offset = stack.takeLast();
        if (visited.contains(offset) || qint64(offset) + 14 > table.size())
            continue;
        visited.insert(offset);
        const quint32 left = bytes::le16(table, offset);
        const quint32 right = bytes::le16(table, offset + 2);
        if (left == 0xFFFF && right == 0xFFFF)
            continue;
        const quint32 nameLength = bytes::u8(table, offset + 13);
        if (qint64(offset) + 14 + nameLength > table.size())
            continue;
        DiscEntry entry;
        entry.sector = bytes::le32(table, offset + 4);
        entry.size = bytes::le32(table, offset + 8);
        entry.isFolder = (bytes::u8(table, offset + 12) & 0x10) != 0;
        const QString name = QString::fromLatin1(table.constData() + offset + 14, nameLength);
        if (!isUsableName(name)) {
            *error = tr("The disc has a file name that cannot be used: %1").arg(name);
            return false;
        }
        if (m_entries.size() >= maxEntries) {
            *error = tr("The disc lists too many files.");
            return false;
        }
        entry.path = prefix + name;
        m_entries.append(entry);
        if (entry.isFolder && !walk(entry.sector, entry.size, entry.path + u'/', depth + 1, error))
            return false;
        if (left != 0)
            stack.append(left * 4);
        if (right != 0)
            stack.append(right * 4);
    }
    return true;
}

const DiscEntry *Disc::find(const QString &path) const
{
    for (const DiscEntry &entry : m_entries) {
        if (!entry.isFolder && entry.path.compare(path, Qt::CaseInsensitive) == 0)
            return &entry;
    }
    return nullptr;
}

bool Disc::seekData(quint32 sector)
{
    return m_file.seek(m_partitionOffset + qint64(sector) * sectorSize);
}

bool Disc::read(const DiscEntry &entry, QByteArray *bytes, QString *error)
{
    QString ignoredError; // the caller may want only the verdict
    if (!error)
        error = &ignoredError;
    bytes->clear();
    const qint64 at = m_partitionOffset + qint64(entry.sector) * sectorSize;
    if (at + qint64(entry.size) <= m_file.size() && seekData(entry.sector))
        *bytes = m_file.read(entry.size);
    if (bytes->size() != qsizetype(entry.size)) {
        bytes->clear();
        *error = tr("The image is cut short (%1 lies past its end).").arg(entry.path);
        return false;
    }
    return true;
}

int Disc::fileCount(const PathFilter &skip) const
{
    int count = 0;
    for (const DiscEntry &entry : m_entries) {
        if (!entry.isFolder && !(skip && skip(entry.path)))
            ++count;
    }
    return count;
}

qint64 Disc::totalBytes(const PathFilter &skip) const
{
    qint64 total = 0;
    for (const DiscEntry &entry : m_entries) {
        if (!entry.isFolder && !(skip && skip(entry.path)))
            total += entry.size;
    }
    return total;
}

} // namespace x360
