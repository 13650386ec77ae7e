#pragma once
// Builds XEX2 executable headers with the optional headers the launcher reads.

#include <QByteArray>
#include <QString>

namespace x360::writer {

struct XexSpec {
    quint32 moduleFlags = 0x1; // a title module; 0x10/0x20 mark a patch
    bool executionInfo = true;
    quint32 mediaId = 0;
    quint32 version = 0;
    quint32 baseVersion = 0;
    quint32 titleId = 0;
    quint8 discNumber = 1;
    quint8 discCount = 1;
    bool deltaPatch = false;
    quint32 patchTargetVersion = 0;
    quint32 patchSourceVersion = 0;
    QByteArray patchSourceDigest; // 20 bytes
    QString moduleName;
    QByteArray body; // stands for the image data after the header
};

QByteArray buildXex(const XexSpec &spec);

} // namespace x360::writer
