#include "x360/xex.h"

#include "x360/bytes.h"

#include <QCoreApplication>

namespace x360 {

namespace {
constexpr qsizetype tableStart = 0x18;
constexpr quint32 maxHeaders = 4096;

bool fits(const QByteArray &b, quint32 offset, qint64 length)
{
    return qint64(offset) + length <= b.size();
}
} // namespace

bool readXex(const QByteArray &b, XexInfo *info, QString *error)
{
    // Callers may want only the verdict or only the fields.
    QString ignoredError;
    XexInfo ignoredInfo;
    if (!error)
        error = &ignoredError;
    if (!info)
        info = &ignoredInfo;
    *info = XexInfo();
    if (b.size() < 24 || !b.startsWith("XEX2")) {
        *error = QCoreApplication::translate("x360", "not an Xbox 360 executable (no XEX2 header)");
        return false;
    }
    info->moduleFlags = bytes::be32(b, 4);
    info->isPatch = (info->moduleFlags & 0x30) != 0;
    const quint32 count = bytes::be32(b, 0x14);
    if (count > maxHeaders || tableStart + qint64(count) * 8 > b.size()) {
        *error = QCoreApplication::translate("x360", "its XEX2 header is damaged");
        return false;
    }
    for (quint32 i = 0; i < count; ++i) {
        const qsizetype at = tableStart + qsizetype(i) * 8;
        const quint32 key = bytes::be32(b, at);
        const quint32 offset = bytes::be32(b, at + 4);
        if (key == xexkey::executionInfo && fits(b, offset, 24)) {
            info->hasExecutionInfo = true;
            info->mediaId = bytes::be32(b, offset);
            info->version = bytes::be32(b, offset + 4);
            info->baseVersion = bytes::be32(b, offset + 8);
            info->titleId = bytes::be32(b, offset + 12);
            info->discNumber = bytes::u8(b, offset + 18);
            info->discCount = bytes::u8(b, offset + 19);
        } else if (key == xexkey::deltaPatch && fits(b, offset, 32)) {
            info->hasDeltaPatch = true;
            info->patchTargetVersion = bytes::be32(b, offset + 4);
            info->patchSourceVersion = bytes::be32(b, offset + 8);
            info->patchSourceDigest = b.mid(offset + 12, 20);
        } else if (key == xexkey::moduleName && fits(b, offset, 4)) {
            const quint32 length = bytes::be32(b, offset);
            if (length > 4 && fits(b, offset, length)) {
                QByteArray text = b.mid(offset + 4, length - 4);
                const qsizetype nul = text.indexOf('\0');
                if (nul >= 0)
                    text.truncate(nul);
                info->moduleName = QString::fromLatin1(text);
            }
        }
    }
    return true;
}

QString versionText(quint32 value)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(value >> 28)
        .arg((value >> 24) & 0xF)
        .arg((value >> 8) & 0xFFFF)
        .arg(value & 0xFF);
}

} // namespace x360
