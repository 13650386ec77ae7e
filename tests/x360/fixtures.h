#pragma once
// Small helpers shared by the reader tests: files in a private temporary folder, byte patching.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace fixture {

QByteArray readAll(const QString &path);
bool writeAll(const QString &path, const QByteArray &bytes);
// Cuts the file to `size` bytes.
bool cut(const QString &path, qint64 size);
void putLe16(QByteArray &b, qsizetype at, quint32 v);
void putLe32(QByteArray &b, qsizetype at, quint32 v);
void putBe16(QByteArray &b, qsizetype at, quint32 v);
void putBe24(QByteArray &b, qsizetype at, quint32 v);
void putBe32(QByteArray &b, qsizetype at, quint32 v);
// Overwrites bytes inside an existing file.
bool patch(const QString &path, qint64 at, const QByteArray &bytes);
// Pattern bytes as the writer makes them.
QByteArray pattern(qint64 size, quint32 seed);

} // namespace fixture
