#include "feed.h"

#include "matchplay.h"
#include "netframe.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QtEndian>
#include <chrono>

namespace {

constexpr int connectRetryMs = 200;
constexpr int connectTries = 25;          // a player's game gives up on its feed after about 5 s
constexpr qsizetype maxPending = 1 << 20; // records kept while the feed is not connected
constexpr int headerFixed = 1 + 1 + 1 + 8;
constexpr int frameSize = 1 + 4 + 1 + 1 + 4;
constexpr int endFixed = 1 + 4 + 4;

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void put64(QByteArray &out, quint64 v)
{
    char b[8];
    qToLittleEndian(v, b);
    out.append(b, 8);
}

void putText(QByteArray &out, const QString &text)
{
    const QByteArray bytes = text.toUtf8().left(FeedRecord::MaxText);
    out.append(char(bytes.size()));
    out.append(bytes);
}

bool fail(QString *why, const char *text)
{
    if (why)
        *why = QString::fromLatin1(text);
    return false;
}

bool takeText(const QByteArray &bytes, qsizetype &at, QString &out)
{
    if (at >= bytes.size())
        return false;
    const int size = quint8(bytes.at(at++));
    if (at + size > bytes.size())
        return false;
    out = QString::fromUtf8(bytes.mid(at, size));
    at += size;
    return true;
}

QString wordOf(const QString &line)
{
    return line.section(QLatin1Char(' '), 0, 0);
}

} // namespace

QByteArray encodeRecord(const FeedRecord &r)
{
    QByteArray out;
    out.append(char(r.kind));
    switch (r.kind) {
    case FeedRecord::Header:
        out.append(char(r.side));
        out.append(char(r.rounds));
        put64(out, r.seed);
        putText(out, r.match);
        putText(out, r.mode);
        putText(out, r.char1);
        putText(out, r.char2);
        break;
    case FeedRecord::Frame:
        put32(out, r.frame);
        out.append(char(r.p1));
        out.append(char(r.p2));
        put32(out, r.sum);
        break;
    case FeedRecord::End:
        put32(out, r.frames);
        put32(out, r.finalState);
        out.append(r.line.toUtf8());
        break;
    case FeedRecord::Pad:
        // Varied bytes, so nothing on the way can shrink it.
        for (int i = 0; i < r.padBytes; ++i)
            out.append(char((i * 131 + r.frame * 7) & 0xff));
        break;
    case FeedRecord::Bad:
        break;
    }
    return out;
}

bool decodeRecord(const QByteArray &b, FeedRecord &r, QString *why)
{
    r = FeedRecord();
    if (b.isEmpty())
        return fail(why, "empty record");
    const char *p = b.constData();
    switch (quint8(p[0])) {
    case FeedRecord::Header: {
        if (b.size() < headerFixed)
            return fail(why, "short header");
        r.side = quint8(p[1]);
        r.rounds = quint8(p[2]);
        r.seed = qFromLittleEndian<quint64>(p + 3);
        qsizetype at = headerFixed;
        if (!takeText(b, at, r.match) || !takeText(b, at, r.mode) || !takeText(b, at, r.char1) ||
            !takeText(b, at, r.char2) || at != b.size())
            return fail(why, "damaged header");
        if (r.side < 1 || r.side > 2)
            return fail(why, "header without a side");
        r.kind = FeedRecord::Header;
        return true;
    }
    case FeedRecord::Frame:
        if (b.size() != frameSize)
            return fail(why, "frame record of the wrong size");
        r.frame = qFromLittleEndian<quint32>(p + 1);
        r.p1 = quint8(p[5]);
        r.p2 = quint8(p[6]);
        r.sum = qFromLittleEndian<quint32>(p + 7);
        r.kind = FeedRecord::Frame;
        return true;
    case FeedRecord::End:
        if (b.size() < endFixed + 1)
            return fail(why, "short end record");
        r.frames = qFromLittleEndian<quint32>(p + 1);
        r.finalState = qFromLittleEndian<quint32>(p + 5);
        r.line = QString::fromUtf8(b.mid(endFixed));
        r.kind = FeedRecord::End;
        return true;
    case FeedRecord::Pad:
        r.padBytes = int(b.size() - 1);
        r.kind = FeedRecord::Pad;
        return true;
    default:
        return fail(why, "unknown record kind");
    }
}

QByteArray framedRecord(const QByteArray &bytes)
{
    QByteArray out;
    char size[2];
    qToLittleEndian(quint16(qMin<qsizetype>(bytes.size(), 0xffff)), size);
    out.append(size, 2);
    out.append(bytes.left(0xffff));
    return out;
}

bool takeRecord(QByteArray &buffer, QByteArray &record)
{
    if (buffer.size() < 2)
        return false;
    const quint16 size = qFromLittleEndian<quint16>(buffer.constData());
    if (buffer.size() < 2 + size)
        return false;
    record = buffer.mid(2, size);
    buffer.remove(0, 2 + size);
    return true;
}

// --- timing the feed ---

bool FeedTrace::open(const QString &path)
{
    m_file.setFileName(path);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
}

void FeedTrace::note(char what, const QString &match, quint32 frame)
{
    if (!m_file.isOpen())
        return;
    const qint64 ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
    m_file.write(
        QStringLiteral("%1 %2 %3 %4\n").arg(QLatin1Char(what)).arg(match).arg(frame).arg(ns).toLatin1());
}

// --- a player's feed ---

FeedOut::FeedOut(QObject *parent) : QObject(parent)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(connectRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &FeedOut::connectNow);
}

FeedOut::~FeedOut()
{
    close();
}

void FeedOut::open(const QString &endpoint)
{
    if (endpoint == m_endpoint)
        return;
    close();
    if (endpoint.isEmpty())
        return;
    m_endpoint = endpoint;
    m_tries = 0;
    connectNow();
}

void FeedOut::close()
{
    m_retry.stop();
    if (QTcpSocket *socket = m_socket) {
        // What is written goes out before the connection closes (also when the game exits next).
        if (socket->state() == QAbstractSocket::ConnectedState) {
            flush();
            socket->waitForBytesWritten(500);
        }
        // Cleared first: closing may signal an error at once.
        m_socket = nullptr;
        socket->disconnectFromHost();
        socket->deleteLater();
        emit logLine(QStringLiteral("orx feed: closed, %1 bytes sent").arg(m_written));
    }
    m_endpoint.clear();
    m_pending.clear();
    m_written = 0;
}

void FeedOut::connectNow()
{
    QString address;
    quint16 port = 0;
    if (!parseEndpoint(m_endpoint, address, port) || QHostAddress(address).isNull()) {
        emit logLine(
            QStringLiteral("warning: the feed endpoint \"%1\" is not an address and a port").arg(m_endpoint));
        return;
    }
    ++m_tries;
    auto *socket = new QTcpSocket(this);
    m_socket = socket;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket != m_socket)
            return;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        emit logLine(QStringLiteral("orx feed: connected to %1").arg(m_endpoint));
        flush();
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError) {
        if (socket != m_socket)
            return;
        const bool wasConnected = socket->property("up").toBool();
        const QString reason = socket->errorString();
        m_socket = nullptr;
        socket->deleteLater();
        if (wasConnected) {
            emit logLine(QStringLiteral("orx feed: the connection to %1 broke: %2").arg(m_endpoint, reason));
            return;
        }
        if (m_tries < connectTries) {
            if (m_tries == 1)
                emit logLine(
                    QStringLiteral("orx feed: no feed at %1 yet (%2); trying again").arg(m_endpoint, reason));
            m_retry.start();
            return;
        }
        emit logLine(QStringLiteral("warning: no feed to %1 after %2 tries: %3")
                         .arg(m_endpoint)
                         .arg(m_tries)
                         .arg(reason));
    });
    connect(socket, &QTcpSocket::connected, socket, [socket] { socket->setProperty("up", true); });
    socket->connectToHost(QHostAddress(address), port);
}

void FeedOut::write(const FeedRecord &record)
{
    if (!isOpen())
        return;
    const QByteArray bytes = framedRecord(encodeRecord(record));
    if (m_pending.size() + bytes.size() > maxPending)
        return;
    m_pending += bytes;
    flush();
}

void FeedOut::flush()
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState || m_pending.isEmpty())
        return;
    const qint64 n = m_socket->write(m_pending);
    if (n > 0) {
        m_written += quint64(n);
        m_pending.remove(0, n);
    }
}

// --- a watching game's feed ---

FeedWatch::FeedWatch(QObject *parent) : QObject(parent)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(connectRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &FeedWatch::connectNow);
    m_tick.setTimerType(Qt::PreciseTimer);
    connect(&m_tick, &QTimer::timeout, this, &FeedWatch::tick);
}

FeedWatch::~FeedWatch()
{
    stop();
}

QString FeedWatch::matchKey() const
{
    return m_setup.match.isEmpty() ? QString() : QStringLiteral(" match=%1").arg(m_setup.match);
}

void FeedWatch::begin(const Setup &setup)
{
    stop();
    m_setup = setup;
    m_active = true;
    m_ended = false;
    m_buffer.clear();
    m_taken = m_connBytes = 0;
    m_refusedLogged = false;
    m_queue.clear();
    m_inMatch = false;
    m_reported = false;
    m_seed = setup.seed;
    m_state = 0;
    m_replayed = 0;
    m_sinceStart.start();
    m_sinceData.start();
    m_tick.start(qMax(1, setup.frameMs));
    emit logLine(QStringLiteral("orx watch: watching match %1 from the feed at %2")
                     .arg(setup.match, setup.feed.isEmpty() ? QStringLiteral("(none)") : setup.feed));
    connectNow();
}

void FeedWatch::stop()
{
    m_active = false;
    m_tick.stop();
    m_retry.stop();
    dropSocket();
}

void FeedWatch::dropSocket()
{
    // Cleared first: aborting signals a disconnection at once.
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    if (socket) {
        socket->abort();
        socket->deleteLater();
    }
}

void FeedWatch::connectNow()
{
    if (!m_active || m_ended || m_socket)
        return;
    QString address;
    quint16 port = 0;
    // Nothing to connect to: the stall check ends the watch.
    if (!parseEndpoint(m_setup.feed, address, port) || QHostAddress(address).isNull())
        return;
    auto *socket = new QTcpSocket(this);
    m_socket = socket;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket != m_socket)
            return;
        socket->setProperty("up", true);
        // The feed is served from its start on every connection.
        m_connBytes = 0;
        emit logLine(
            QStringLiteral("orx watch: connected to the feed after %1 ms").arg(m_sinceStart.elapsed()));
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (socket == m_socket)
            readFeed();
    });
    auto lost = [this, socket] {
        if (socket != m_socket)
            return;
        if (!socket->property("up").toBool() && !m_refusedLogged) {
            m_refusedLogged = true;
            emit logLine(QStringLiteral("orx watch: no feed at %1 yet (%2); trying again")
                             .arg(m_setup.feed, socket->errorString()));
        }
        m_socket = nullptr;
        socket->deleteLater();
        if (m_active && !m_ended)
            m_retry.start();
    };
    connect(socket, &QTcpSocket::errorOccurred, this, lost);
    connect(socket, &QTcpSocket::disconnected, this, lost);
    socket->connectToHost(QHostAddress(address), port);
}

void FeedWatch::readFeed()
{
    if (!m_socket)
        return;
    QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty() || m_ended)
        return;
    // A new connection serves the feed from its start: what was taken before is skipped.
    const quint64 at = m_connBytes;
    m_connBytes += quint64(bytes.size());
    if (at < m_taken)
        bytes.remove(0, qsizetype(qMin<quint64>(m_taken - at, quint64(bytes.size()))));
    m_taken += quint64(bytes.size());
    if (bytes.isEmpty())
        return;
    m_sinceData.restart();
    m_buffer += bytes;
    QByteArray raw;
    while (takeRecord(m_buffer, raw)) {
        FeedRecord record;
        QString why;
        if (!decodeRecord(raw, record, &why)) {
            record = FeedRecord();
            record.line = why;
        }
        if (record.kind == FeedRecord::Frame && m_setup.trace)
            m_setup.trace->note('r', m_setup.match, record.frame);
        take(record);
    }
}

void FeedWatch::take(const FeedRecord &record)
{
    if (record.kind == FeedRecord::Header) {
        const bool ours = m_setup.match.isEmpty() || record.match == m_setup.match;
        if (ours && !m_inMatch) {
            if (m_setup.match.isEmpty())
                m_setup.match = record.match;
            if (!m_setup.hasSeed)
                m_seed = record.seed;
            m_state = initialState(m_seed);
            emit logLine(
                QStringLiteral("orx watch: match %1, %2, seed %3, p1 %4, p2 %5, %6 rounds, fed by player %7")
                    .arg(record.match, record.mode)
                    .arg(record.seed)
                    .arg(record.char1, record.char2)
                    .arg(record.rounds)
                    .arg(record.side));
        } else if (m_inMatch && ours) {
            // The same match again (a reconnected player): it goes on.
            return;
        }
        m_inMatch = ours;
        return;
    }
    if (record.kind == FeedRecord::Pad)
        return;
    // Records of another match on the same feed (a player's earlier or later match) are not watched.
    if (m_inMatch || record.kind == FeedRecord::Bad)
        m_queue << record;
}

void FeedWatch::tick()
{
    if (!m_active || m_ended)
        return;
    if (replayOne() || m_ended)
        return;
    // Nothing to replay: the feed may have stalled.
    const int limit = m_reported ? m_setup.peerTimeoutMs : m_setup.meetMs;
    if (m_queue.isEmpty() && m_sinceData.elapsed() > limit) {
        emit logLine(
            QStringLiteral("orx watch: no feed for %1 ms after %2 frames").arg(limit).arg(m_replayed));
        end(QStringLiteral("disconnected%1").arg(matchKey()));
    }
}

bool FeedWatch::replayOne()
{
    while (!m_queue.isEmpty() && !m_ended) {
        const FeedRecord r = m_queue.takeFirst();
        if (r.kind == FeedRecord::Bad) {
            emit logLine(QStringLiteral("DESYNC at frame %1").arg(m_replayed));
            emit logLine(QStringLiteral("orx desync: a damaged feed record (%1)").arg(r.line));
            end(QStringLiteral("desync frame=%1%2").arg(m_replayed).arg(matchKey()));
            return true;
        }
        if (r.kind == FeedRecord::Frame) {
            if (r.frame != m_replayed) {
                emit logLine(QStringLiteral("DESYNC at frame %1").arg(m_replayed));
                emit logLine(QStringLiteral("orx desync: the feed skipped to frame %1").arg(r.frame));
                end(QStringLiteral("desync frame=%1%2").arg(m_replayed).arg(matchKey()));
                return true;
            }
            if (!m_reported) {
                m_reported = true;
                emit status(QStringLiteral("in_match%1").arg(matchKey()));
            }
            m_state = nextState(m_state, r.p1, r.p2);
            if (m_state != r.sum) {
                emit logLine(QStringLiteral("DESYNC at frame %1").arg(r.frame));
                emit logLine(QStringLiteral("orx desync: state %1 here, %2 in the feed")
                                 .arg(m_state, 8, 16, QLatin1Char('0'))
                                 .arg(r.sum, 8, 16, QLatin1Char('0')));
                end(QStringLiteral("desync frame=%1%2").arg(r.frame).arg(matchKey()));
                return true;
            }
            ++m_replayed;
            return true;
        }
        // The end: the players' own line, once every frame before it was replayed and agrees.
        const QString word = wordOf(r.line);
        if (!m_reported) {
            m_reported = true;
            emit status(QStringLiteral("in_match%1").arg(matchKey()));
        }
        if (word == QLatin1String("result") || word == QLatin1String("sparring_over")) {
            if (r.frames != m_replayed || (m_replayed > 0 && r.finalState != m_state)) {
                emit logLine(QStringLiteral("DESYNC at frame %1").arg(m_replayed));
                emit logLine(QStringLiteral("orx desync: the players ended after %1 frames in state %2, "
                                            "here %3 frames in state %4")
                                 .arg(r.frames)
                                 .arg(r.finalState, 8, 16, QLatin1Char('0'))
                                 .arg(m_replayed)
                                 .arg(m_state, 8, 16, QLatin1Char('0')));
                end(QStringLiteral("desync frame=%1%2").arg(m_replayed).arg(matchKey()));
                return true;
            }
            emit logLine(QStringLiteral("orx watch: in sync, seed %1, %2 frames, state %3")
                             .arg(m_seed)
                             .arg(m_replayed)
                             .arg(m_state, 8, 16, QLatin1Char('0')));
            end(r.line);
        } else if (word == QLatin1String("desync")) {
            end(r.line);
        } else {
            emit logLine(QStringLiteral("orx watch: the players' match ended with \"%1\"").arg(r.line));
            end(QStringLiteral("disconnected%1").arg(matchKey()));
        }
        return true;
    }
    return false;
}

void FeedWatch::end(const QString &line)
{
    m_ended = true;
    m_tick.stop();
    m_retry.stop();
    m_queue.clear();
    dropSocket();
    emit status(line);
}
