#include "fixtures.h"

#include "x360/writer/pattern.h"

#include <QFile>

namespace fixture {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool cut(const QString &path, qint64 size)
{
    return QFile::resize(path, size);
}

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
void putBe16(QByteArray &b, qsizetype at, quint32 v)
{
    b[at] = char((v >> 8) & 0xFF);
    b[at + 1] = char(v & 0xFF);
}
void putBe24(QByteArray &b, qsizetype at, quint32 v)
{
    b[at] = char((v >> 16) & 0xFF);
    putBe16(b, at + 1, v & 0xFFFF);
}
void putBe32(QByteArray &b, qsizetype at, quint32 v)
{
    putBe16(b, at, v >> 16);
    putBe16(b, at + 2, v & 0xFFFF);
}

bool patch(const QString &path, qint64 at, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(at) && file.write(bytes) == bytes.size();
}

QByteArray pattern(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    x360::writer::fillPattern(bytes.data(), size, 0, seed);
    return bytes;
}

} // namespace fixture
