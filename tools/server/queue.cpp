// The queue: joining, leaving, and pairing searches that fit each other.
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"

#include <QElapsedTimer>
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
    // Looked up once here, not for every pair the passes consider.
    if (s.ranked)
        s.elo = m_server->db().stats(s.accountId, s.game, s.mode).elo;
    s.bucket = s.game + QChar(0) + s.mode + (s.ranked ? QChar('r') : QChar('c'));
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
    schedulePass();
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
    schedulePass();
}

void MatchHub::schedulePass()
{
    if (m_passPending)
        return;
    m_passPending = true;
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
    if ((a.strict || b.strict) &&
        (a.region != b.region || (a.ranked && std::abs(a.elo - b.elo) > m_server->options().strictEloGap)))
        return false;
    const QString key = pairKey(a.accountId, b.accountId);
    if (m_keepApart.value(key) > now)
        return false; // their last match could not connect them
    int est = m_measured.value(key, -1);
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
    m_passPending = false;
    QElapsedTimer took;
    took.start();
    const qint64 now = m_server->nowMs();
    // Only searches that could pair are ever compared: one bucket per game, mode and ranked, and
    // inside it strict searches by region (a strict search pairs only within its region).
    struct Bucket {
        QList<qsizetype> loose;                             // not strict, every region
        QHash<QString, QList<qsizetype>> looseIn, strictIn; // by region
    };
    QHash<QString, Bucket> buckets;
    for (qsizetype i = 0; i < m_queue.size(); ++i) {
        const Search &s = m_queue[i];
        Bucket &b = buckets[s.bucket];
        if (s.strict) {
            b.strictIn[s.region].append(i);
        } else {
            b.loose.append(i);
            b.looseIn[s.region].append(i);
        }
    }
    std::vector<bool> taken(size_t(m_queue.size()), false);
    QList<QPair<qsizetype, qsizetype>> pairs;
    // In the queue's order: the longest waiting search takes the best fit, same region first, then
    // the lowest ping.
    for (qsizetype i = 0; i < m_queue.size(); ++i) {
        if (taken[size_t(i)])
            continue;
        const Search &a = m_queue[i];
        const Bucket &b = *buckets.constFind(a.bucket);
        static const QList<qsizetype> none;
        auto in = [](const QHash<QString, QList<qsizetype>> &byRegion, const QString &region) {
            const auto it = byRegion.constFind(region);
            return it == byRegion.cend() ? &none : &*it;
        };
        const QList<qsizetype> *groups[2] = {in(b.strictIn, a.region),
                                             a.strict ? in(b.looseIn, a.region) : &b.loose};
        qsizetype best = -1;
        int bestScore = INT_MAX;
        for (const QList<qsizetype> *group : groups) {
            for (qsizetype j : *group) {
                if (j == i || taken[size_t(j)])
                    continue;
                int est = -1;
                if (!compatible(a, m_queue[j], now, &est))
                    continue;
                const int score = (a.region == m_queue[j].region ? 0 : 100000) + (est < 0 ? 5000 : est);
                if (score < bestScore || (score == bestScore && j < best)) {
                    bestScore = score;
                    best = j;
                }
            }
        }
        if (best >= 0) {
            taken[size_t(i)] = taken[size_t(best)] = true;
            pairs.append({i, best});
        }
    }
    QList<QPair<Search, Search>> found;
    for (const auto &p : std::as_const(pairs))
        found.append({m_queue[p.first], m_queue[p.second]});
    if (!found.isEmpty()) {
        QList<Search> rest;
        for (qsizetype i = 0; i < m_queue.size(); ++i) {
            if (!taken[size_t(i)])
                rest.append(m_queue[i]);
        }
        m_queue = rest;
    }
    m_lastPassUs = took.nsecsElapsed() / 1000;
    m_longestPassUs = qMax(m_longestPassUs, m_lastPassUs);
    for (const auto &p : std::as_const(found))
        sendFound(newMatch(p.first, p.second));
}
