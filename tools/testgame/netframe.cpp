#include "netframe.h"

#include <QtEndian>

namespace {

constexpr char magic[4] = {'O', 'X', 'G', '1'};
constexpr int headerSize = 36;

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

quint32 get32(const char *p)
{
    return qFromLittleEndian<quint32>(p);
}

bool fail(QString *why, const char *text)
{
    if (why)
        *why = QString::fromLatin1(text);
    return false;
}

quint64 mix(quint64 z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

} // namespace

QByteArray encodeFrame(const NetFrame &f)
{
    QByteArray out;
    out.reserve(headerSize + f.inputs.size() + 4 * f.sums.size());
    out.append(magic, 4);
    out.append(char(f.kind));
    out.append(char(f.side));
    out.append(char(f.kind == NetFrame::Choice ? quint8(f.choice) : quint8(f.reason)));
    out.append(char(f.draw ? NetFrame::DrawFlag : 0));
    put32(out, f.match);
    put32(out, f.plan);
    put32(out, f.ack);
    put32(out, f.inputFrom);
    put16(out, quint16(qMin<qsizetype>(f.inputs.size(), NetFrame::MaxInputs)));
    put16(out, quint16(qMin<qsizetype>(f.sums.size(), NetFrame::MaxSums)));
    put32(out, f.sumFrom);
    put32(out, f.desyncFrame);
    out.append(f.inputs.left(NetFrame::MaxInputs));
    for (qsizetype i = 0; i < f.sums.size() && i < NetFrame::MaxSums; ++i)
        put32(out, f.sums.at(i));
    return out;
}

bool decodeFrame(const QByteArray &bytes, NetFrame &f, QString *why)
{
    if (bytes.size() < headerSize || !bytes.startsWith(QByteArray(magic, 4)))
        return fail(why, "not a game frame");
    const char *p = bytes.constData();
    const quint8 kind = quint8(p[4]);
    const quint8 reason = quint8(p[6]);
    const quint8 flags = quint8(p[7]);
    if (kind > NetFrame::Choice || (kind != NetFrame::Choice && reason > NetFrame::Disconnected))
        return fail(why, "unknown frame kind");
    if (kind == NetFrame::Choice && (reason < NetFrame::Rematch || reason > NetFrame::Leave))
        return fail(why, "unknown choice");
    if (flags & ~quint8(NetFrame::DrawFlag))
        return fail(why, "unknown flags");
    const quint16 inputCount = qFromLittleEndian<quint16>(p + 24);
    const quint16 sumCount = qFromLittleEndian<quint16>(p + 26);
    if (inputCount > NetFrame::MaxInputs || sumCount > NetFrame::MaxSums)
        return fail(why, "too many entries");
    if (bytes.size() != headerSize + inputCount + 4 * sumCount)
        return fail(why, "wrong length");
    f.kind = NetFrame::Kind(kind);
    f.side = quint8(p[5]);
    f.reason = kind == NetFrame::Choice ? NetFrame::Done : NetFrame::Reason(reason);
    f.choice = kind == NetFrame::Choice ? NetFrame::Pick(reason) : NetFrame::NoChoice;
    f.draw = (flags & NetFrame::DrawFlag) != 0;
    f.match = get32(p + 8);
    f.plan = get32(p + 12);
    f.ack = get32(p + 16);
    f.inputFrom = get32(p + 20);
    f.sumFrom = get32(p + 28);
    f.desyncFrame = get32(p + 32);
    // Frame numbers near the top would wrap when counted on; no match is that long.
    if (f.plan > 0x10000000u || f.ack > f.plan || quint64(f.inputFrom) + inputCount > f.plan ||
        quint64(f.sumFrom) + sumCount > f.plan)
        return fail(why, "frame numbers out of range");
    f.inputs = bytes.mid(headerSize, inputCount);
    f.sums.clear();
    for (int i = 0; i < sumCount; ++i)
        f.sums << get32(p + headerSize + inputCount + 4 * i);
    return true;
}

NetFrame::Pick choiceFromWord(const QString &word)
{
    if (word == QLatin1String("rematch"))
        return NetFrame::Rematch;
    if (word == QLatin1String("select"))
        return NetFrame::Select;
    if (word == QLatin1String("leave"))
        return NetFrame::Leave;
    return NetFrame::NoChoice;
}

QString choiceWord(NetFrame::Pick choice)
{
    switch (choice) {
    case NetFrame::Rematch:
        return QStringLiteral("rematch");
    case NetFrame::Select:
        return QStringLiteral("select");
    case NetFrame::Leave:
        return QStringLiteral("leave");
    case NetFrame::NoChoice:
        break;
    }
    return QString();
}

quint32 matchHash(const QString &match)
{
    quint32 h = 2166136261u;
    for (const char c : match.toUtf8()) {
        h ^= quint8(c);
        h *= 16777619u;
    }
    return h;
}

quint32 initialState(quint64 seed)
{
    return quint32(mix(seed));
}

quint32 nextState(quint32 state, quint8 p1Input, quint8 p2Input)
{
    return quint32(mix((quint64(state) << 16) | (quint64(p1Input) << 8) | p2Input));
}
