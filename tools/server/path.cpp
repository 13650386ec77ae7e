// The path between the two games: direct first, the relay when a player hides their address or
// the direct try fails, the tunnel for a player without UDP; then the start of the match.
#include "elo.h"
#include "feedrelay.h"
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"
#include "udphub.h"

#include <QRandomGenerator>

namespace {

int autoDelayFrames(int rtt)
{
    if (rtt <= 0)
        return 1;
    return qBound(1, (3 * (rtt + 33)) / 100 - 1, 6);
}

const char *legName(Leg leg)
{
    return leg == Leg::Tunnel ? "tunnel" : leg == Leg::Relay ? "relay" : "direct";
}

} // namespace

void MatchHub::onUdpHello(Player *p)
{
    Match *m = m_matches.value(m_matchOf.value(p->accountId));
    if (m && m->stage == Match::Stage::WaitingUdp && p->helloMatch == m->id)
        maybeStartPath(m);
}

void MatchHub::maybeStartPath(Match *m)
{
    if (m->stage != Match::Stage::WaitingUdp)
        return;
    bool anyTunnel = false, anyHidden = false;
    for (int i = 0; i < 2; ++i) {
        const Player *p = player(m->acc[i]);
        const bool udp = p && p->helloMatch == m->id && p->udpPort != 0;
        if (!udp && !m->wantTunnel[i])
            return; // still waiting for this player's hello (or its tunnel request)
        anyTunnel = anyTunnel || m->wantTunnel[i];
        anyHidden = anyHidden || m->req[i].relay;
    }
    m->timer.stop();
    if (anyTunnel) {
        m->relayWhy = "no_udp";
        startRound(m, Match::Step::Tunnel);
    } else if (anyHidden) {
        m->relayWhy = "hidden";
        startRound(m, Match::Step::Relay);
    } else {
        startRound(m, Match::Step::Direct);
    }
}

void MatchHub::udpWaitOver(const QString &id)
{
    Match *m = m_matches.value(id);
    if (!m || m->stage != Match::Stage::WaitingUdp)
        return;
    // No hello from a player's game port in time: their packets go through their connection.
    for (int i = 0; i < 2; ++i) {
        const Player *p = player(m->acc[i]);
        if (!p || p->helloMatch != m->id || p->udpPort == 0)
            m->wantTunnel[i] = true;
    }
    maybeStartPath(m);
}

void MatchHub::setRelayLink(Match *m)
{
    Relay::Leg legs[2];
    for (int i = 0; i < 2; ++i) {
        const Player *p = player(m->acc[i]);
        legs[i].accountId = m->acc[i];
        legs[i].tunnel = m->leg[i] == Leg::Tunnel;
        if (!legs[i].tunnel && p) {
            legs[i].address = p->udpAddress;
            legs[i].port = p->udpPort;
        }
    }
    m_server->udp()->relay().setLink(pairKey(m->acc[0], m->acc[1]), legs[0], legs[1]);
}

void MatchHub::startRound(Match *m, Match::Step step)
{
    m->step = step;
    ++m->round;
    m->haveReport[0] = m->haveReport[1] = false;
    m->stage = Match::Stage::Connecting;
    const bool viaServer =
        step == Match::Step::Relay || step == Match::Step::BackToRelay || step == Match::Step::Tunnel;
    for (int i = 0; i < 2; ++i)
        m->leg[i] = !viaServer ? Leg::Direct : m->wantTunnel[i] ? Leg::Tunnel : Leg::Relay;
    if (viaServer)
        setRelayLink(m);
    else
        m_server->udp()->relay().removeLink(pairKey(m->acc[0], m->acc[1]));
    serverLog(QStringLiteral("match %1: path %2 / %3").arg(m->id, legName(m->leg[0]), legName(m->leg[1])));
    for (int i = 0; i < 2; ++i) {
        QJsonObject peer{{"type", "match_peer"},
                         {"match", m->id},
                         {"opponent", opponentObject(m->acc[1 - i], m)},
                         {"punch_timeout", m_server->options().punchTimeoutS},
                         {"side", i + 1},
                         {"key", m->key}};
        if (m->leg[i] == Leg::Tunnel) {
            peer.insert("tunnel", true);
        } else if (m->leg[i] == Leg::Relay) {
            peer.insert("relay", true);
            peer.insert("relay_why", m->relayWhy);
            peer.insert("relay_mine", m->relayWhy == "hidden" && m->req[i].relay);
            peer.insert("back", step == Match::Step::BackToRelay);
        } else {
            const Player *other = player(m->acc[1 - i]);
            peer.insert("peer", QJsonObject{{"public", other ? other->publicEndpoint() : QString()},
                                            {"lan", other ? other->lan : QString()}});
            if (step == Match::Step::RelayThenDirect) {
                peer.insert("direct_why", "relay_ping");
                peer.insert("relay_rtt", m->relayRtt);
                peer.insert("relay_mine", m->req[i].relay);
            }
        }
        send(m->acc[i], peer);
    }
    m->timer.start(m_server->options().punchTimeoutS * 1000 + m_server->options().pathSlackMs);
}

void MatchHub::pingReport(Player *p, const QJsonObject &msg)
{
    Match *m = matchOf(p, msg);
    if (!m || m->stage != Match::Stage::Connecting)
        return;
    const int i = sideIndex(sideOf(m, p->accountId));
    if (i < 0)
        return;
    m->report[i] = msg;
    m->haveReport[i] = true;
    if (m->haveReport[0] && m->haveReport[1])
        decidePath(m);
}

void MatchHub::udpTunnel(Player *p, const QJsonObject &msg)
{
    Match *m = matchOf(p, msg);
    if (!m)
        return;
    const int i = sideIndex(sideOf(m, p->accountId));
    if (i < 0 || m->wantTunnel[i])
        return;
    m->wantTunnel[i] = true;
    if (m->stage == Match::Stage::WaitingUdp) {
        maybeStartPath(m);
    } else if (m->stage == Match::Stage::Connecting && m->leg[i] != Leg::Tunnel) {
        m->relayWhy = "no_udp";
        startRound(m, Match::Step::Tunnel);
    }
}

void MatchHub::decidePath(Match *m)
{
    m->timer.stop();
    const ServerOptions &o = m_server->options();
    // A success without the endpoint reached cannot start a game: it counts as a failure.
    auto success = [](const QJsonObject &r) {
        return r.value("ok").toBool() && !r.value("remote").toString().trimmed().isEmpty();
    };
    const bool ok[2] = {success(m->report[0]), success(m->report[1])};
    const int rtt = qMax(matchrules::clampRtt(m->report[0].value("rtt_ms"), 0),
                         matchrules::clampRtt(m->report[1].value("rtt_ms"), 0));
    if (!ok[0] || !ok[1]) {
        switch (m->step) {
        case Match::Step::Direct:
            m->relayWhy = "direct_failed";
            return startRound(m, Match::Step::Relay);
        case Match::Step::RelayThenDirect:
            return startRound(m, Match::Step::BackToRelay);
        case Match::Step::Relay:
        case Match::Step::BackToRelay:
            // The relay did not get through for someone: their packets take their connection.
            for (int i = 0; i < 2; ++i)
                m->wantTunnel[i] = m->wantTunnel[i] || !ok[i];
            m->relayWhy = "no_udp";
            return startRound(m, Match::Step::Tunnel);
        case Match::Step::Tunnel: {
            const bool requeue[2] = {m->fromSearch, m->fromSearch};
            return cancelMatch(m, "punch_failed", requeue);
        }
        }
    }
    if (m->step == Match::Step::Relay && m->relayWhy == "hidden" && o.directAboveMs > 0 &&
        rtt > o.directAboveMs && !m->req[0].hideAlways && !m->req[1].hideAlways) {
        m->relayRtt = rtt;
        return startRound(m, Match::Step::RelayThenDirect);
    }
    if (m->step == Match::Step::RelayThenDirect && rtt >= m->relayRtt)
        return startRound(m, Match::Step::BackToRelay);
    m_measured.insert(pairKey(m->acc[0], m->acc[1]), rtt);
    if (m->fromSearch && m->pingLimit > 0 && rtt > m->pingLimit) {
        const bool requeue[2] = {true, true};
        return cancelMatch(m, "ping_too_high", requeue);
    }
    m->rtt = rtt;
    for (int i = 0; i < 2; ++i)
        m->remote[i] = m->report[i].value("remote").toString().left(64);
    go(m);
}

void MatchHub::pathTimedOut(const QString &id)
{
    Match *m = m_matches.value(id);
    if (!m || m->stage != Match::Stage::Connecting)
        return;
    const bool requeue[2] = {m->fromSearch, m->fromSearch};
    cancelMatch(m, "ping_timeout", requeue);
}

void MatchHub::go(Match *m)
{
    m->timer.stop();
    // 53 bits: the seed survives every JSON reader as an exact integer.
    m->seed = qint64(QRandomGenerator::system()->generate64() & ((1ULL << 53) - 1));
    Series *s = m_series.value(m->seriesId);
    if (m->inPlace) {
        // The games are still connected from the last match: same path, same endpoints.
        for (int i = 0; i < 2; ++i) {
            m->leg[i] = m->kept.leg[i];
            m->remote[i] = m->kept.remote[i];
        }
        m->rtt = m->kept.rtt;
    }
    m->went = true;
    m->delay = 0;
    int autoValue = -1;
    for (const Search &r : m->req) {
        const int d = r.delayAuto ? autoDelayFrames(m->rtt) : r.delay;
        m->delay = qMax(m->delay, d);
        if (r.delayAuto)
            autoValue = qMax(autoValue, d);
    }
    m->delayAuto = autoValue == m->delay;
    if (!s && m->fromSearch)
        s = newSeries(m);
    if (s) {
        for (int i = 0; i < 2; ++i) {
            s->leg[i] = m->leg[i];
            s->remote[i] = m->remote[i];
        }
        s->rtt = m->rtt;
        s->currentMatch = m->id;
        s->state = Series::State::Playing;
    }
    m->stage = Match::Stage::Playing;
    // A match nobody ever reports on must not hold its players forever.
    m->timer.start(m_server->options().matchLimitS * 1000);
    const QJsonObject o1 = opponentObject(m->acc[0], m), o2 = opponentObject(m->acc[1], m);
    serverLog(QStringLiteral("match %1 goes: rtt %2 ms, delay %3").arg(m->id).arg(m->rtt).arg(m->delay));
    for (int i = 0; i < 2; ++i) {
        QJsonObject goMsg{{"type", "match_go"},
                          {"match", m->id},
                          {"game", m->game},
                          {"mode", m->mode},
                          {"side", i + 1},
                          {"remote", m->remote[i]},
                          {"path", legName(m->leg[i])},
                          {"delay", m->delay},
                          {"delay_auto", m->delayAuto},
                          {"rtt_ms", m->rtt},
                          {"seed", m->seed},
                          {"p1", m->chars[0]},
                          {"p2", m->chars[1]},
                          {"rounds", m->rounds > 0 ? m->rounds : m_server->options().rounds},
                          {"ranked", m->ranked},
                          {"p1_name", o1.value("name")},
                          {"p2_name", o2.value("name")},
                          {"p1_title", o1.value("title")},
                          {"p2_title", o2.value("title")},
                          // Side 1 of a lobby match feeds its watchers; an in-place next match keeps
                          // the same side, so the launcher's feed link goes on.
                          {"feed", !m->lobbyId.isEmpty() && i == 0}};
        if (s) {
            goMsg.insert("series", s->id);
            goMsg.insert("series_kind", s->ranked ? "ranked" : "casual");
            goMsg.insert("set", s->played + 1);
            goMsg.insert("set_p1", s->wins[0]);
            goMsg.insert("set_p2", s->wins[1]);
            goMsg.insert("keep", m->keep);
        }
        if (!m->lobbyId.isEmpty())
            goMsg.insert("lobby", m->lobbyId);
        send(m->acc[i], goMsg);
    }
    if (s)
        sendSeries(s);
    if (!m->lobbyId.isEmpty()) {
        const QJsonObject offer{{"match", m->id},
                                {"lobby", m->lobbyId},
                                {"game", m->game},
                                {"mode", m->mode},
                                {"seed", m->seed},
                                {"p1", m->chars[0]},
                                {"p2", m->chars[1]},
                                {"rounds", m->rounds > 0 ? m->rounds : m_server->options().rounds},
                                {"p1_name", o1.value("name")},
                                {"p2_name", o2.value("name")},
                                {"p1_title", o1.value("title")},
                                {"p2_title", o2.value("title")}};
        m_server->feeds()->open(m->id, m->acc[0], offer);
        m_server->lobbies()->matchWent(*m);
    }
}
