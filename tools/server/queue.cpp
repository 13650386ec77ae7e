// The queue: joining, leaving, and pairing searches that fit each other.
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"

#include <algorithm>
#include <cmath>

QJsonObject MatchHub::pingWiden() const
{
    // The launcher shows the same rule while it searches.
    const ServerOptions &o = m_server->options();
    return QJsonObject{
        {"after", o.widenAfterS}, {"every", o.widenEveryS}, {"step", o.widenStep}, {"cap", o.widenCap}};
}

void MatchHub::queueJoin(Player *p, const QJsonObject &msg)
{
    Connection *c = p->conn;
    if (Match *m = m_matches.value(m_matchOf.value(p->accountId)); m && m->stage != Match::Stage::Done)
        return c->sendError(msg, "busy", "You are in a match already.");
    if (m_server->lobbies()->isMember(p->accountId))
        return c->sendError(msg, "busy", "You are in a lobby: leave it first.");
    if (Series *s = m_series.value(m_seriesOf.value(p->accountId))) {
        if (s->state != Series::State::Between)
            return c->sendError(msg, "busy", "You are in a match already.");
        // A new search from the result screen means the player is done with the series.
        seriesLeave(s, s->acc[0] == p->accountId ? 1 : 2);
    }
    Search s;
    s.accountId = p->accountId;
    s.game = msg.value("game").toString().left(32);
    s.mode = msg.value("mode").toString().left(32);
    if (s.game.isEmpty() || s.mode.isEmpty())
        return c->sendError(msg, "bad_request", "A search needs a game and a mode.");
    s.ranked = msg.value("ranked").toBool();
    s.region = msg.value("region").toString().left(16);
    s.maxPing = qBound(0, msg.value("max_ping").toInt(), 10000);
    s.strict = msg.value("strict").toBool();
    s.character = msg.value("character").toString().left(64);
    if (s.character.isEmpty())
        s.character = "-";
    s.relay = msg.value("relay").toBool();
    s.hideAlways = msg.value("hide_always").toBool();
    s.link = msg.value("link").toString().left(16);
    s.serverRtt = matchrules::clampRtt(msg.value("server_rtt"), -1);
    s.delay = qBound(0, msg.value("delay").toInt(1), 10);
    s.delayAuto = msg.value("delay_auto").toBool();
    s.joinedMs = m_server->nowMs();
    for (const Search &old : std::as_const(m_queue)) {
        if (old.accountId == p->accountId)
            s.joinedMs = old.joinedMs; // a changed search keeps its place
    }
    removeFromQueue(p->accountId);
    m_queue.append(s);
    c->reply(msg, QJsonObject{{"type", "queued"},
                              {"game", s.game},
                              {"mode", s.mode},
                              {"ranked", s.ranked},
                              {"searching", int(m_queue.size())},
                              {"ping_widen", pingWiden()}});
    pairPass();
}

void MatchHub::queueLeave(Player *p, const QJsonObject &msg)
{
    removeFromQueue(p->accountId);
    p->conn->reply(msg, QJsonObject{{"type", "queue_left"}, {"reason", "left"}});
}

void MatchHub::removeFromQueue(int accountId)
{
    m_queue.removeIf([accountId](const Search &s) { return s.accountId == accountId; });
}

void MatchHub::requeue(const Search &s)
{
    Player *p = player(s.accountId);
    if (!p || !p->online() || m_matchOf.contains(s.accountId))
        return;
    removeFromQueue(s.accountId);
    m_queue.append(s);
    std::stable_sort(m_queue.begin(), m_queue.end(),
                     [](const Search &a, const Search &b) { return a.joinedMs < b.joinedMs; });
    QTimer::singleShot(0, this, &MatchHub::pairPass);
}

int MatchHub::effectiveLimit(const Search &s, qint64 now) const
{
    const ServerOptions &o = m_server->options();
    if (s.maxPing <= 0)
        return 0;
    const double t = (now - s.joinedMs) / 1000.0;
    if (t < o.widenAfterS)
        return s.maxPing;
    const int widened = qMin(
        o.widenCap, s.maxPing + o.widenStep * (int(std::floor((t - o.widenAfterS) / o.widenEveryS)) + 1));
    return qMax(widened, s.maxPing);
}

bool MatchHub::compatible(const Search &a, const Search &b, qint64 now, int *estimate) const
{
    if (a.accountId == b.accountId || a.game != b.game || a.mode != b.mode || a.ranked != b.ranked)
        return false;
    if (m_keepApart.value(pairKey(a.accountId, b.accountId)) > now)
        return false; // their last match could not connect them

    if (a.strict || b.strict) {
        if (a.region != b.region)
            return false;
        if (a.ranked) {
            const int ea = m_server->db().stats(a.accountId, a.game, a.mode).elo;
            const int eb = m_server->db().stats(b.accountId, b.game, b.mode).elo;
            if (std::abs(ea - eb) > m_server->options().strictEloGap)
                return false;
        }
    }
    int est = m_measured.value(pairKey(a.accountId, b.accountId), -1);
    if (est < 0 && a.serverRtt >= 0 && b.serverRtt >= 0)
        est = a.serverRtt + b.serverRtt;
    *estimate = est;
    if (est >= 0) {
        for (const Search *s : {&a, &b}) {
            const int limit = effectiveLimit(*s, now);
            if (limit > 0 && est > limit)
                return false;
        }
    }
    return true;
}

void MatchHub::pairPass()
{
    const qint64 now = m_server->nowMs();
    bool paired = true;
    while (paired) {
        paired = false;
        for (qsizetype i = 0; i < m_queue.size() && !paired; ++i) {
            // The longest waiting search takes the best fit: same region first, then the lowest ping.
            qsizetype best = -1;
            int bestScore = INT_MAX;
            for (qsizetype j = 0; j < m_queue.size(); ++j) {
                if (j == i)
                    continue;
                int est = -1;
                if (!compatible(m_queue[i], m_queue[j], now, &est))
                    continue;
                const int score =
                    (m_queue[i].region == m_queue[j].region ? 0 : 100000) + (est < 0 ? 5000 : est);
                if (score < bestScore) {
                    bestScore = score;
                    best = j;
                }
            }
            if (best >= 0) {
                const Search a = m_queue[i], b = m_queue[best];
                removeFromQueue(a.accountId);
                removeFromQueue(b.accountId);
                Match *m = newMatch(a, b);
                sendFound(m);
                paired = true;
            }
        }
    }
}
