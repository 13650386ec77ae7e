#include "match/feedrules.h"

namespace feedrules {

namespace {
qsizetype recordLength(const QByteArray &bytes, qsizetype at)
{
    return 2 + (quint8(bytes.at(at)) | (quint8(bytes.at(at + 1)) << 8));
}
} // namespace

qsizetype completePrefix(const QByteArray &bytes)
{
    qsizetype at = 0;
    while (bytes.size() - at >= 2) {
        const qsizetype length = recordLength(bytes, at);
        if (bytes.size() - at < length)
            break;
        at += length;
    }
    return at;
}

bool wholeRecords(const QByteArray &bytes)
{
    return !bytes.isEmpty() && completePrefix(bytes) == bytes.size();
}

QList<QByteArray> chunks(const QByteArray &prefix, qsizetype maxChunk)
{
    QList<QByteArray> out;
    const qsizetype end = completePrefix(prefix);
    qsizetype start = 0, at = 0;
    while (at < end) {
        const qsizetype length = recordLength(prefix, at);
        if (at > start && at + length - start > maxChunk) {
            out.append(prefix.mid(start, at - start));
            start = at;
        }
        at += length;
    }
    if (at > start)
        out.append(prefix.mid(start, at - start));
    return out;
}

qsizetype takeRelayed(Place &place, qsizetype size)
{
    const qint64 repeated = qBound<qint64>(0, place.taken - place.at, size);
    place.at += size;
    place.taken = qMax(place.taken, place.at);
    return qsizetype(repeated);
}

} // namespace feedrules
