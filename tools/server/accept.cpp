// A match found: the offer to both players, accepting, declining and calling it off.
#include "elo.h"
#include "feedrelay.h"
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"
#include "udphub.h"

#include <QRandomGenerator>

Match *MatchHub::newMatch(const Search &a, const Search &b)
{
    auto *m = new Match;
    m->id = newId('m');
    m->key = QString::number(QRandomGenerator::system()->generate64(), 16);
    m->game = a.game;
    m->mode = a.mode;
    m->ranked = a.ranked;
    m->fromSearch = true;
    m->needAccept = true;
    // Sides are drawn by lot so neither the first in the queue nor the newcomer is always player 1.
    const bool swap = QRandomGenerator::system()->bounded(2) == 1;
    m->req[0] = swap ? b : a;
    m->req[1] = swap ? a : b;
    for (int i = 0; i < 2; ++i) {
        m->acc[i] = m->req[i].accountId;
        m->chars[i] = m->req[i].character;
    }
    const qint64 now = m_server->nowMs();
    for (const Search &s : m->req) {
        const int limit = effectiveLimit(s, now);
        if (limit > 0 && (m->pingLimit == 0 || limit < m->pingLimit))
            m->pingLimit = limit;
    }
    registerMatch(m);
    serverLog(
        QStringLiteral("match %1: %2 vs %3 (%4)")
            .arg(m->id, player(m->acc[0])->name, player(m->acc[1])->name, m->ranked ? "ranked" : "casual"));
    return m;
}

void MatchHub::registerMatch(Match *m)
{
    for (int a : m->acc)
        m_matchOf.insert(a, m->id);
    m->timer.setSingleShot(true);
    m_matches.insert(m->id, m);
    const QString id = m->id;
    connect(&m->timer, &QTimer::timeout, this, [this, id] {
        Match *mm = m_matches.value(id);
        if (!mm)
            return;
        switch (mm->stage) {
        case Match::Stage::Accepting:
            acceptTimedOut(id);
            break;
        case Match::Stage::WaitingUdp:
            udpWaitOver(id);
            break;
        case Match::Stage::Connecting:
            pathTimedOut(id);
            break;
        case Match::Stage::Playing:
            resultWaitOver(id);
            break;
        case Match::Stage::Done:
            break;
        }
    });
}

QJsonObject MatchHub::opponentObject(int accountId, const Match *m) const
{
    const StatsRow st = m_server->db().stats(accountId, m->game, m->mode);
    const bool ranked = st.setWins + st.setLosses > 0;
    return QJsonObject{{"name", player(accountId)->name},
                       {"title", ranked ? elo::titleFor(st.elo) : QString()},
                       {"elo", st.elo}};
}

void MatchHub::sendFound(Match *m)
{
    const int measured = m_measured.value(pairKey(m->acc[0], m->acc[1]), -1);
    for (int i = 0; i < 2; ++i) {
        const Search &other = m->req[1 - i];
        int estimate = measured;
        if (estimate < 0 && other.serverRtt >= 0 && m->req[i].serverRtt >= 0)
            estimate = other.serverRtt + m->req[i].serverRtt;
        QJsonObject found{
            {"type", "match_found"},
            {"match", m->id},
            {"game", m->game},
            {"mode", m->mode},
            {"ranked", m->ranked},
            {"side", i + 1},
            {"accept_required", m->needAccept},
            {"accept_timeout", m_server->options().acceptTimeoutS},
            {"opponent", opponentObject(m->acc[1 - i], m)},
            {"connection", QJsonObject{{"link", other.link},
                                       {"ping", other.serverRtt},
                                       {"estimate", estimate},
                                       {"measured", measured >= 0}}},
            {"result_choice", m->resultChoice},
        };
        if (!m->seriesId.isEmpty())
            found.insert("series", m->seriesId);
        if (!m->lobbyId.isEmpty())
            found.insert("lobby", m->lobbyId);
        if (!m->seriesId.isEmpty() || !m->lobbyId.isEmpty())
            found.insert("in_place", m->inPlace);
        send(m->acc[i], found);
    }
    if (m->needAccept) {
        m->stage = Match::Stage::Accepting;
        m->timer.start(m_server->options().acceptTimeoutS * 1000);
    } else if (m->inPlace) {
        go(m);
    } else {
        m->stage = Match::Stage::WaitingUdp;
        m->timer.start(m_server->options().udpWaitMs);
        maybeStartPath(m);
    }
}

Match *MatchHub::matchOf(Player *p, const QJsonObject &msg, bool reply)
{
    Match *m = m_matches.value(m_matchOf.value(p->accountId));
    if (m && m->stage != Match::Stage::Done && m->id == msg.value("match").toString())
        return m;
    if (reply)
        p->conn->sendError(msg, "no_such_match", "That match is over, or it is not yours.");
    return nullptr;
}

void MatchHub::matchAccept(Player *p, const QJsonObject &msg)
{
    Match *m = matchOf(p, msg);
    if (!m || m->stage != Match::Stage::Accepting)
        return;
    const int i = sideIndex(sideOf(m, p->accountId));
    if (i < 0)
        return;
    m->accepted[i] = true;
    if (m->accepted[0] && m->accepted[1]) {
        m->stage = Match::Stage::WaitingUdp;
        m->timer.start(m_server->options().udpWaitMs);
        maybeStartPath(m);
    }
}

void MatchHub::matchDecline(Player *p, const QJsonObject &msg)
{
    Match *m = matchOf(p, msg);
    if (!m || m->stage == Match::Stage::Playing)
        return;
    const int side = sideOf(m, p->accountId);
    if (sideIndex(side) < 0)
        return;
    bool requeue[2] = {false, false};
    requeue[1 - sideIndex(side)] = m->fromSearch;
    cancelMatch(m, "declined", requeue, side);
}

void MatchHub::acceptTimedOut(const QString &id)
{
    Match *m = m_matches.value(id);
    if (!m)
        return;
    // Whoever accepted goes back to the queue; whoever let the time run out does not.
    const bool requeue[2] = {m->accepted[0], m->accepted[1]};
    cancelMatch(m, "accept_timeout", requeue);
}

void MatchHub::cancelMatch(Match *m, const QString &reason, const bool requeue[2], int leftSide)
{
    serverLog(QStringLiteral("match %1 called off: %2").arg(m->id, reason));
    // Two players whose games could not reach each other are not paired again straight away.
    if (reason == "punch_failed" || reason == "ping_timeout")
        m_keepApart.insert(pairKey(m->acc[0], m->acc[1]), m_server->nowMs() + KeepApartMs);
    const Search req[2] = {m->req[0], m->req[1]};
    bool again[2];
    for (int i = 0; i < 2; ++i) {
        Player *pl = player(m->acc[i]);
        again[i] = requeue[i] && pl && pl->online() && m->seriesId.isEmpty();
        send(m->acc[i],
             QJsonObject{
                 {"type", "match_cancelled"}, {"match", m->id}, {"reason", reason}, {"requeued", again[i]}});
    }
    const QString seriesId = m->seriesId, lobbyId = m->lobbyId, id = m->id;
    m_server->feeds()->end(id, "cancelled", 0);
    finishMatch(m);
    if (!lobbyId.isEmpty())
        m_server->lobbies()->matchCancelled(lobbyId, id);
    if (Series *s = m_series.value(seriesId)) {
        // A series whose next match cannot be set up is over.
        if (s->ranked && leftSide > 0)
            endSeries(s, "forfeit", 3 - leftSide, leftSide);
        else if (s->ranked)
            endSeries(s, "no_result", 0, 0);
        else
            endSeries(s, leftSide > 0 ? "left" : "disconnected", 0, leftSide);
    }
    for (int i = 0; i < 2; ++i) {
        if (again[i])
            this->requeue(req[i]);
    }
}

void MatchHub::finishMatch(Match *m)
{
    m->stage = Match::Stage::Done;
    m->timer.stop();
    for (int a : m->acc) {
        if (m_matchOf.value(a) == m->id)
            m_matchOf.remove(a);
    }
    // A series or a lobby may play on in place through the same relay link; they remove it.
    const bool keepLink = (!m->seriesId.isEmpty() && m_series.contains(m->seriesId)) ||
                          (!m->lobbyId.isEmpty() && m->went && m_server->lobbies()->exists(m->lobbyId));
    if (!keepLink)
        m_server->udp()->relay().removeLink(pairKey(m->acc[0], m->acc[1]));
    const QString id = m->id;
    QTimer::singleShot(0, this, [this, id] { delete m_matches.take(id); });
}
