#include "x360/writer/xexwriter.h"

#include "x360/xex.h"

#include <QList>
#include <utility>

namespace x360::writer {

namespace {
void putBe32(QByteArray &b, qsizetype at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * (3 - i))) & 0xFF);
}
QByteArray be32(quint32 v)
{
    QByteArray b(4, '\0');
    putBe32(b, 0, v);
    return b;
}
} // namespace

QByteArray buildXex(const XexSpec &spec)
{
    QList<std::pair<quint32, QByteArray>> headers;
    if (spec.executionInfo) {
        QByteArray info =
            be32(spec.mediaId) + be32(spec.version) + be32(spec.baseVersion) + be32(spec.titleId);
        info.append(char(0)); // platform
        info.append(char(0)); // executable type
        info.append(char(spec.discNumber));
        info.append(char(spec.discCount));
        info.append(be32(0)); // save game id
        headers.append({xexkey::executionInfo, info});
    }
    if (spec.deltaPatch) {
        QByteArray patch = be32(32) + be32(spec.patchTargetVersion) + be32(spec.patchSourceVersion);
        patch.append(spec.patchSourceDigest.leftJustified(20, '\0', true));
        headers.append({xexkey::deltaPatch, patch});
    }
    if (!spec.moduleName.isEmpty()) {
        QByteArray name = spec.moduleName.toLatin1();
        name.append('\0');
        while (name.size() % 4)
            name.append('\0');
        headers.append({xexkey::moduleName, be32(quint32(name.size() + 4)) + name});
    }

    QByteArray out("XEX2");
    out.append(be32(spec.moduleFlags));
    out.append(be32(0)); // image data offset, filled below
    out.append(be32(0)); // reserved
    out.append(be32(0)); // security info offset
    out.append(be32(quint32(headers.size())));
    const qsizetype table = out.size();
    out.append(QByteArray(headers.size() * 8, '\0'));
    for (int i = 0; i < headers.size(); ++i) {
        putBe32(out, table + i * 8, headers[i].first);
        putBe32(out, table + i * 8 + 4, quint32(out.size()));
        out.append(headers[i].second);
    }
    putBe32(out, 0x10, quint32(out.size()));
    out.append(QByteArray(0x180, '\0')); // security info
    while (out.size() % 0x1000)
        out.append('\0');
    putBe32(out, 0x08, quint32(out.size()));
    out.append(spec.body);
    return out;
}

} // namespace x360::writer
