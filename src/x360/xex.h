#pragma once
// The identity fields of an Xbox 360 executable's XEX2 header: "default.xex" of a disc and
// "default.xexp" (a delta patch) of a title update.

#include <QByteArray>
#include <QString>

namespace x360 {

struct XexInfo {
    quint32 moduleFlags = 0;
    bool isPatch = false;
    bool hasExecutionInfo = false;
    quint32 titleId = 0;
    quint32 mediaId = 0;
    quint32 version = 0;
    quint32 baseVersion = 0;
    quint32 discNumber = 0;
    quint32 discCount = 0;
    bool hasDeltaPatch = false;
    quint32 patchSourceVersion = 0;
    quint32 patchTargetVersion = 0;
    QByteArray patchSourceDigest; // 20 bytes when hasDeltaPatch
    QString moduleName;
};

namespace xexkey {
constexpr quint32 executionInfo = 0x40006;
constexpr quint32 deltaPatch = 0x5FF;
constexpr quint32 moduleName = 0x183FF;
} // namespace xexkey

// Fills `info` from the start of an executable. `bytes` may be just the header.
bool readXex(const QByteArray &bytes, XexInfo *info, QString *error);

// An Xbox 360 version word as "major.minor.build.qfe" (0x302 reads 0.0.3.2).
QString versionText(quint32 value);

} // namespace x360
