#include "feedrules.h"

namespace feed {

namespace {

// The length field of the record at pos, or -1 when fewer than two bytes are left.
qsizetype recordLength(const QByteArray &data, qsizetype pos)
{
    if (pos + 2 > data.size())
        return -1;
    return qsizetype(quint8(data[pos])) | (qsizetype(quint8(data[pos + 1])) << 8);
}

} // namespace

qsizetype recordsEnd(const QByteArray &data, qsizetype from, qsizetype limit)
{
    qsizetype end = from;
    for (;;) {
        const qsizetype len = recordLength(data, end);
        if (len < 0 || end + 2 + len > data.size())
            return end;
        const qsizetype next = end + 2 + len;
        if (next - from > limit && end > from)
            return end;
        end = next;
        if (end - from >= limit)
            return end;
    }
}

bool wholeRecords(const QByteArray &data)
{
    return !data.isEmpty() && recordsEnd(data, 0, data.size()) == data.size();
}

qsizetype largestRecord(const QByteArray &data)
{
    qsizetype largest = 0;
    for (qsizetype pos = 0;;) {
        const qsizetype len = recordLength(data, pos);
        if (len < 0 || pos + 2 + len > data.size())
            return largest;
        largest = qMax(largest, len);
        pos += 2 + len;
    }
}

QList<QByteArray> chunkRecords(const QByteArray &data, qsizetype limit)
{
    QList<QByteArray> chunks;
    for (qsizetype pos = 0; pos < data.size();) {
        const qsizetype end = recordsEnd(data, pos, limit);
        if (end == pos)
            break; // a half record at the end is not a chunk
        chunks.append(data.mid(pos, end - pos));
        pos = end;
    }
    return chunks;
}

bool decodeStrict(const QString &text, QByteArray *out)
{
    if (text.isEmpty() || text.size() % 4 != 0)
        return false;
    const QByteArray latin = text.toLatin1();
    auto r = QByteArray::fromBase64Encoding(latin, QByteArray::AbortOnBase64DecodingErrors);
    // Re-encoding tells non-canonical text (stray bits in the last character) from the real thing.
    if (!r || r.decoded.toBase64() != latin)
        return false;
    *out = std::move(r.decoded);
    return true;
}

} // namespace feed
