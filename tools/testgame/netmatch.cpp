#include "netmatch.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QUdpSocket>

namespace {

// How far one side may run ahead of the inputs it holds from the other, besides the input delay.
constexpr int aheadFrames = 8;
constexpr int retryBindMs = 50;
constexpr int byeTicks = 10;
constexpr int lingerDoneMs = 1500;
// A choice is sent again this often until the other game answers it.
constexpr int choiceRepeatMs = 100;

QHostAddress plain(const QHostAddress &a)
{
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : a;
}

} // namespace

NetMatch::NetMatch(const NetOptions &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_tick.setTimerType(Qt::PreciseTimer);
    m_tick.setInterval(m_options.frameMs);
    connect(&m_tick, &QTimer::timeout, this, &NetMatch::tick);
    m_bindRetry.setSingleShot(true);
    m_bindRetry.setInterval(retryBindMs);
    connect(&m_bindRetry, &QTimer::timeout, this, &NetMatch::tryBind);
    m_choiceRepeat.setInterval(choiceRepeatMs);
    connect(&m_choiceRepeat, &QTimer::timeout, this, &NetMatch::sendChoice);
}

NetMatch::~NetMatch()
{
    release();
}

quint16 NetMatch::boundPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

void NetMatch::begin(const MatchSetup &setup, int matchMs)
{
    stop();
    m_setup = setup;
    m_hash = matchHash(setup.match);
    m_side = setup.side;
    m_plan = quint32(qMax(1, matchMs / m_options.frameMs));
    m_mine.clear();
    m_theirs.clear();
    m_sums.clear();
    m_early.clear();
    m_state = initialState(setup.seed);
    m_agreed = 0;
    m_peerAck = 0;
    m_driftFrame = -1;
    m_met = false;
    m_muted = false;
    m_outcomeDone = false;
    m_feedDamaged = false;
    m_byeReason = NetFrame::Done;
    m_desyncFrame = 0;
    m_ownDraw = m_options.draw;
    m_peerDraw = false;
    m_sent = m_received = m_stray = 0;
    m_sinceBegin.start();

    QString address;
    quint16 port = 0;
    // A start line that cannot be played tells nobody: the opponent of a previous match is gone.
    m_muted = true;
    if (!parseEndpoint(setup.remote, address, port) || QHostAddress(address).isNull()) {
        m_phase = Playing;
        endWithError(
            QStringLiteral("the remote endpoint \"%1\" is not an address and a port").arg(setup.remote));
        return;
    }
    if (m_side != 1 && m_side != 2) {
        m_phase = Playing;
        endWithError(QStringLiteral("the start line names no side (side=%1)").arg(m_side));
        return;
    }
    m_muted = false;
    m_remote = plain(QHostAddress(address));
    m_remotePort = port;
    if (m_socket && setup.localPort > 0 && m_socket->localPort() != setup.localPort)
        release();
    m_phase = Binding;
    tryBind();
}

void NetMatch::tryBind()
{
    if (m_phase != Binding)
        return;
    if (!m_socket) {
        auto *socket = new QUdpSocket(this);
        const QHostAddress any =
            m_remote.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::Any : QHostAddress::AnyIPv4;
        // Not shared: while anyone else still holds the port, its datagrams would not all come here.
        if (!socket->bind(any, quint16(qMax(0, m_setup.localPort)), QAbstractSocket::DontShareAddress)) {
            const QString reason = socket->errorString();
            delete socket;
            // The launcher lets go of the port just before the start line; give it a moment.
            if (m_sinceBegin.elapsed() + retryBindMs <= m_options.bindWaitMs) {
                m_bindRetry.start();
                return;
            }
            endWithError(QStringLiteral("cannot use UDP port %1: %2").arg(m_setup.localPort).arg(reason));
            return;
        }
        m_socket = socket;
        connect(m_socket, &QUdpSocket::readyRead, this, &NetMatch::readDatagrams);
    }
    startPlaying();
}

void NetMatch::startPlaying()
{
    m_phase = Playing;
    m_sinceBegin.restart();
    m_sinceProgress.start();
    emit logLine(QStringLiteral("orx net: meeting for match %1 as player %2 on port %3, opponent at %4:%5, "
                                "input delay %6, %7 frames")
                     .arg(m_setup.match)
                     .arg(m_side)
                     .arg(m_socket->localPort())
                     .arg(m_remote.toString())
                     .arg(m_remotePort)
                     .arg(m_setup.delay)
                     .arg(m_plan));
    m_tick.start();
    tick();
}

void NetMatch::stop()
{
    m_tick.stop();
    m_bindRetry.stop();
    m_choiceRepeat.stop();
    m_phase = Idle;
    m_atResult = false;
    m_choice = NetFrame::NoChoice;
    m_chooser = 0;
    m_choiceAnswered = false;
    m_choiceRefused = false;
}

void NetMatch::endLinger()
{
    // The port and the result screen stay for a choice and a rematch line.
    m_tick.stop();
    m_phase = Idle;
}

void NetMatch::release()
{
    stop();
    if (m_socket) {
        m_socket->close();
        delete m_socket;
        m_socket = nullptr;
    }
}

void NetMatch::setOutcome(const QString &word, int frame)
{
    m_options.outcome = word;
    if (frame >= 0)
        m_options.outcomeFrame = frame;
}

int NetMatch::outcomeFrame() const
{
    return qBound(0, m_options.outcomeFrame, int(m_plan) - 1);
}

void NetMatch::tick()
{
    if (m_phase == Lingering) {
        if (m_lingerTicks-- <= 0) {
            endLinger();
            return;
        }
        if (!m_muted)
            sendFrame(NetFrame::Bye);
        return;
    }
    if (m_phase != Playing)
        return;
    if (!m_met && m_sinceBegin.elapsed() > m_options.meetMs)
        return endDisconnected(
            QStringLiteral("no frame from the opponent within %1 ms").arg(m_options.meetMs));
    if (m_met && m_sinceProgress.elapsed() > m_options.peerTimeoutMs)
        return endDisconnected(QStringLiteral("the opponent was silent for %1 ms at frame %2")
                                   .arg(m_options.peerTimeoutMs)
                                   .arg(m_sums.size()));
    stepOwnFrame();
    if (m_phase != Playing)
        return;
    confirmFrames();
    if (!m_muted)
        sendFrame(NetFrame::Play);
    checkDone();
}

void NetMatch::stepOwnFrame()
{
    const int window = aheadFrames + qBound(0, m_setup.delay, 10);
    if (quint32(m_mine.size()) >= m_plan || m_mine.size() - m_theirs.size() >= window)
        return;
    const int frame = int(m_mine.size());
    m_mine.append(char(QRandomGenerator::global()->bounded(256)));
    // Once per match, even when a longer plan of the opponent moves the frame afterwards.
    if (m_options.outcome.isEmpty() || m_outcomeDone || frame < outcomeFrame())
        return;
    const QString &o = m_options.outcome;
    // Damage to the spectator feed is done as the frames are confirmed.
    if (o == QLatin1String("feed-corrupt"))
        return;
    m_outcomeDone = true;
    if (o == QLatin1String("error")) {
        endWithError(QStringLiteral("the fight engine failed at frame %1 (on request)").arg(frame));
    } else if (o == QLatin1String("away")) {
        endAway();
    } else if (o == QLatin1String("disconnected")) {
        m_muted = true;
        emit logLine(QStringLiteral("orx net: the path breaks at frame %1 (on request)").arg(frame));
    } else if (o == QLatin1String("desync")) {
        m_driftFrame = frame;
        emit logLine(QStringLiteral("orx net: the state drifts at frame %1 (on request)").arg(frame));
    } else if (o == QLatin1String("again")) {
        emit logLine(QStringLiteral("DESYNC at frame %1").arg(frame));
        emit logLine(QStringLiteral("orx desync: the round is played again (on request)"));
        emit status(QStringLiteral("in_match again=1 again_frame=%1 match=%2").arg(frame).arg(m_setup.match));
    }
}

void NetMatch::confirmFrames()
{
    const qsizetype both = qMin(m_mine.size(), m_theirs.size());
    while (m_sums.size() < both && m_phase == Playing) {
        const qsizetype f = m_sums.size();
        const quint8 own = quint8(m_mine.at(f)), other = quint8(m_theirs.at(f));
        m_state = m_side == 1 ? nextState(m_state, own, other) : nextState(m_state, other, own);
        if (f == m_driftFrame)
            m_state ^= 0x5a5a5a5au;
        m_sums << m_state;
        const auto early = m_early.constFind(quint32(f));
        if (early != m_early.constEnd()) {
            const quint32 sum = *early;
            m_early.remove(quint32(f));
            compareSum(quint32(f), sum);
        }
    }
}

void NetMatch::compareSum(quint32 frame, quint32 peerSum)
{
    if (m_phase != Playing)
        return;
    if (frame >= quint32(m_sums.size())) {
        // Bounded: the opponent runs at most a window ahead, anything further is junk.
        if (m_early.size() < 4 * NetFrame::MaxSums)
            m_early.insert(frame, peerSum);
        return;
    }
    if (m_sums.at(frame) != peerSum)
        return endWithDesync(frame, QStringLiteral("state %1 here, %2 at the opponent")
                                        .arg(m_sums.at(frame), 8, 16, QLatin1Char('0'))
                                        .arg(peerSum, 8, 16, QLatin1Char('0')));
    if (frame + 1 > m_agreed) {
        for (quint32 f = m_agreed; f <= frame; ++f)
            emitConfirmed(f);
        m_agreed = frame + 1;
        m_sinceProgress.restart();
    }
}

void NetMatch::emitConfirmed(quint32 frame)
{
    const quint8 own = quint8(m_mine.at(frame)), other = quint8(m_theirs.at(frame));
    quint32 sum = m_sums.at(frame);
    // Once per match: the spectator feed's record of this frame is damaged, not the match.
    if (m_options.outcome == QLatin1String("feed-corrupt") && !m_feedDamaged &&
        int(frame) >= outcomeFrame()) {
        m_feedDamaged = true;
        sum ^= 0x00ff00ffu;
        emit logLine(QStringLiteral("orx feed: the record of frame %1 is damaged (on request)").arg(frame));
    }
    emit confirmed(frame, m_side == 1 ? own : other, m_side == 1 ? other : own, sum);
}

void NetMatch::checkDone()
{
    if (m_phase == Playing && quint32(m_sums.size()) >= m_plan && m_agreed >= m_plan)
        endWithResult();
}

bool NetMatch::fromRemote(const QHostAddress &address, quint16 port) const
{
    return port == m_remotePort && plain(address) == m_remote;
}

void NetMatch::readDatagrams()
{
    while (m_socket && m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram d = m_socket->receiveDatagram(4096);
        if (!d.isValid())
            continue;
        NetFrame frame;
        // Only the endpoint of the path, with a frame of this match; the rest (the launcher's late
        // punches, a previous match, strangers) is counted and dropped.
        if ((m_phase == Idle && !m_atResult) || !fromRemote(d.senderAddress(), quint16(d.senderPort())) ||
            !decodeFrame(d.data(), frame) || frame.match != m_hash) {
            ++m_stray;
            continue;
        }
        ++m_received;
        takeFrame(frame);
    }
}

void NetMatch::takeFrame(const NetFrame &frame)
{
    if (frame.kind == NetFrame::Choice)
        return takeChoice(frame);
    if (m_phase == Lingering) {
        if (frame.kind == NetFrame::Bye)
            m_lingerTicks = 0; // the opponent is done with it too
        return;
    }
    if (m_phase != Playing)
        return;
    if (frame.side != 3 - m_side)
        return endWithError(QStringLiteral("the opponent plays side %1 too").arg(frame.side));
    m_peerDraw = m_peerDraw || frame.draw;
    if (!m_met) {
        m_met = true;
        emit logLine(QStringLiteral("orx net: player %1 joined after %2 ms")
                         .arg(frame.side)
                         .arg(m_sinceBegin.elapsed()));
    }
    // The longer plan wins, up to an hour: an opponent cannot keep this game in a match for ever.
    m_plan = qMax(m_plan, qMin(frame.plan, quint32(3600000 / m_options.frameMs)));
    const qsizetype before = m_theirs.size();
    for (qsizetype i = 0; i < frame.inputs.size(); ++i) {
        if (quint64(frame.inputFrom) + quint64(i) == quint64(m_theirs.size()))
            m_theirs.append(frame.inputs.at(i));
    }
    if (m_theirs.size() > before)
        m_sinceProgress.restart();
    m_peerAck = qMax(m_peerAck, frame.ack);
    confirmFrames();
    for (qsizetype i = 0; i < frame.sums.size() && m_phase == Playing; ++i)
        compareSum(frame.sumFrom + quint32(i), frame.sums.at(i));
    if (m_phase != Playing)
        return;
    if (frame.kind == NetFrame::Bye) {
        if (frame.reason == NetFrame::Desync)
            return endWithDesync(frame.desyncFrame, QStringLiteral("the opponent found it"));
        if (frame.reason != NetFrame::Done)
            return endDisconnected(QStringLiteral("the opponent left the match"));
    }
    checkDone();
}

void NetMatch::sendFrame(NetFrame::Kind kind)
{
    if (!m_socket)
        return;
    NetFrame f;
    f.kind = kind;
    f.side = quint8(m_side);
    f.reason = m_byeReason;
    f.match = m_hash;
    f.plan = m_plan;
    f.ack = quint32(m_theirs.size());
    f.inputFrom = qMin(m_peerAck, quint32(m_mine.size()));
    f.inputs = m_mine.mid(f.inputFrom, NetFrame::MaxInputs);
    const qsizetype sumCount = qMin<qsizetype>(m_sums.size(), NetFrame::MaxSums);
    f.sumFrom = quint32(m_sums.size() - sumCount);
    f.sums = m_sums.mid(f.sumFrom);
    f.desyncFrame = m_desyncFrame;
    f.draw = m_ownDraw;
    if (m_socket->writeDatagram(encodeFrame(f), m_remote, m_remotePort) > 0)
        ++m_sent;
}

bool NetMatch::choose(const QString &word)
{
    const NetFrame::Pick pick = choiceFromWord(word);
    if (!m_atResult || !m_setup.choose || !m_socket || m_choice != NetFrame::NoChoice ||
        pick == NetFrame::NoChoice)
        return false;
    m_choice = pick;
    m_chooser = m_side;
    m_choiceAnswered = false;
    emit logLine(QStringLiteral("orx net: player %1 chose %2; telling the opponent").arg(m_side).arg(word));
    sendChoice();
    m_choiceRepeat.start();
    return true;
}

void NetMatch::takeChoice(const NetFrame &frame)
{
    // Before this game's own result (the opponent finished first) it is not at its result screen
    // yet; the chooser sends it again.
    if (!m_atResult || frame.side != 3 - m_side)
        return;
    if (!m_setup.choose) {
        if (!m_choiceRefused)
            emit logLine(QStringLiteral("orx net: the opponent chose %1, but this match has no choice")
                             .arg(choiceWord(frame.choice)));
        m_choiceRefused = true;
        return;
    }
    if (m_choice == NetFrame::NoChoice) {
        m_choice = frame.choice;
        m_chooser = frame.side;
        emit logLine(
            QStringLiteral("orx net: player %1 chose %2").arg(frame.side).arg(choiceWord(frame.choice)));
        sendChoice();
        emit chosen(choiceWord(frame.choice), frame.side);
    } else if (m_chooser == m_side) {
        // The opponent's answer: it has the choice.
        if (!m_choiceAnswered)
            emit logLine(QStringLiteral("orx net: the opponent has the choice"));
        m_choiceAnswered = true;
        m_choiceRepeat.stop();
    } else {
        // The chooser has not heard the answer yet.
        sendChoice();
    }
}

void NetMatch::sendChoice()
{
    if (!m_socket || m_choice == NetFrame::NoChoice)
        return m_choiceRepeat.stop();
    NetFrame f;
    f.kind = NetFrame::Choice;
    f.side = quint8(m_side);
    f.choice = m_choice;
    f.match = m_hash;
    if (m_socket->writeDatagram(encodeFrame(f), m_remote, m_remotePort) > 0)
        ++m_sent;
}

void NetMatch::linger(NetFrame::Reason reason, int ticks)
{
    m_byeReason = reason;
    m_phase = Lingering;
    m_lingerTicks = ticks;
    emit logLine(QStringLiteral("orx net: %1 frames out, %2 in, %3 other datagrams ignored")
                     .arg(m_sent)
                     .arg(m_received)
                     .arg(m_stray));
    if (m_socket && !m_tick.isActive())
        m_tick.start();
    if (!m_socket)
        stop();
}

void NetMatch::endWithResult()
{
    const quint32 finalState = m_sums.at(m_plan - 1);
    emit logLine(QStringLiteral("orx versus: in sync, seed %1, %2 frames, state %3")
                     .arg(m_setup.seed)
                     .arg(m_plan)
                     .arg(finalState, 8, 16, QLatin1Char('0')));
    linger(NetFrame::Done, qMax(1, lingerDoneMs / m_options.frameMs));
    m_atResult = true;
    emit status(fightResultStatus(m_setup, finalState, m_ownDraw || m_peerDraw));
}

void NetMatch::endWithDesync(quint32 frame, const QString &detail)
{
    m_desyncFrame = frame;
    emit logLine(QStringLiteral("DESYNC at frame %1").arg(frame));
    emit logLine(QStringLiteral("orx desync: %1").arg(detail));
    linger(NetFrame::Desync, byeTicks);
    emit status(QStringLiteral("desync frame=%1 match=%2").arg(frame).arg(m_setup.match));
}

void NetMatch::endDisconnected(const QString &why)
{
    emit logLine(QStringLiteral("orx net: %1; the match is lost").arg(why));
    linger(NetFrame::Disconnected, byeTicks);
    emit status(QStringLiteral("disconnected match=%1").arg(m_setup.match));
}

void NetMatch::endWithError(const QString &why)
{
    emit logLine(QStringLiteral("error: %1").arg(why));
    linger(NetFrame::Error, byeTicks);
    emit status(QStringLiteral("error match=%1").arg(m_setup.match));
}

void NetMatch::endAway()
{
    emit logLine(QStringLiteral("testgame: left the online menu during the match (on request)"));
    linger(NetFrame::Away, byeTicks);
    emit status(QStringLiteral("away"));
}
