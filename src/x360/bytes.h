#pragma once
// Integer fields of the Xbox 360 formats. Callers check the bounds before reading.

#include <QByteArray>
#include <QtGlobal>

namespace x360::bytes {

inline quint32 u8(const QByteArray &b, qsizetype at)
{
    return quint8(b[at]);
}
inline quint32 be16(const QByteArray &b, qsizetype at)
{
    return (u8(b, at) << 8) | u8(b, at + 1);
}
inline quint32 be24(const QByteArray &b, qsizetype at)
{
    return (u8(b, at) << 16) | (u8(b, at + 1) << 8) | u8(b, at + 2);
}
inline quint32 be32(const QByteArray &b, qsizetype at)
{
    return (u8(b, at) << 24) | (u8(b, at + 1) << 16) | (u8(b, at + 2) << 8) | u8(b, at + 3);
}
inline quint32 le16(const QByteArray &b, qsizetype at)
{
    return u8(b, at) | (u8(b, at + 1) << 8);
}
inline quint32 le24(const QByteArray &b, qsizetype at)
{
    return u8(b, at) | (u8(b, at + 1) << 8) | (u8(b, at + 2) << 16);
}
inline quint32 le32(const QByteArray &b, qsizetype at)
{
    return u8(b, at) | (u8(b, at + 1) << 8) | (u8(b, at + 2) << 16) | (u8(b, at + 3) << 24);
}

} // namespace x360::bytes
