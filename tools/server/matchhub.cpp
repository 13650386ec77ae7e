// The match hub's dispatch and its bookkeeping of who is where.
#include "matchhub.h"
#include "server.h"
#include "udphub.h"

#include <QRandomGenerator>
#include <QSet>
#include <algorithm>

MatchHub::MatchHub(Server *server) : QObject(server), m_server(server)
{
    m_pairTimer.setInterval(server->options().pairIntervalMs);
    connect(&m_pairTimer, &QTimer::timeout, this, &MatchHub::pairPass);
    m_pairTimer.start();
}

MatchHub::~MatchHub()
{
    qDeleteAll(m_matches);
    qDeleteAll(m_series);
}

bool MatchHub::handle(Player *p, const QJsonObject &msg)
{
    const QString type = msg.value("type").toString();
    if (type == "queue_join")
        queueJoin(p, msg);
    else if (type == "queue_leave")
        queueLeave(p, msg);
    else if (type == "match_accept")
        matchAccept(p, msg);
    else if (type == "match_decline")
        matchDecline(p, msg);
    else if (type == "ping_report")
        pingReport(p, msg);
    else if (type == "udp_tunnel")
        udpTunnel(p, msg);
    else if (type == "match_state")
        matchState(p, msg);
    else if (type == "result")
        result(p, msg);
    else if (type == "series_ready")
        seriesReady(p, msg);
    else
        return false;
    return true;
}

void MatchHub::handleTunnel(Player *p, const QJsonObject &msg)
{
    const QJsonValue data = msg.value("data");
    if (!data.isString() || data.toString().size() > 4096)
        return;
    const auto decoded =
        QByteArray::fromBase64Encoding(data.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (decoded && !decoded.decoded.isEmpty())
        m_server->udp()->relay().fromTunnel(p->accountId, decoded.decoded);
}

void MatchHub::playerGone(Player *p)
{
    removeFromQueue(p->accountId);
    if (auto it = m_lastWords.find(p->accountId);
        it != m_lastWords.end() && m_server->nowMs() - it->atMs <= LostOnTheWayMs)
        it->missed = true;
    if (Match *m = m_matches.value(m_matchOf.value(p->accountId))) {
        const int side = sideOf(m, p->accountId);
        if (m->stage == Match::Stage::Playing) {
            // The player may come back (a dropped connection resumes with its token) and send the
            // result it kept; past the grace the match counts as left.
            // Each drop has a grace of its own: a drop after a return is timed from itself.
            const QString id = m->id;
            const int account = p->accountId;
            const int drop = sideIndex(side) >= 0 ? ++m->drops[sideIndex(side)] : 0;
            QTimer::singleShot(m_server->options().dropGraceMs, this, [this, id, account, drop] {
                Match *mm = m_matches.value(id);
                Player *pp = player(account);
                if (!mm || mm->stage != Match::Stage::Playing || !pp || pp->online())
                    return;
                const int i = sideIndex(sideOf(mm, account));
                if (i >= 0 && mm->drops[i] == drop && !mm->haveResult[i])
                    decideResult(mm);
            });
        } else if (m->stage != Match::Stage::Done) {
            bool requeue[2] = {false, false};
            if (sideIndex(side) >= 0)
                requeue[1 - sideIndex(side)] = m->fromSearch;
            cancelMatch(m, "peer_left", requeue, side);
        }
    }
    if (Series *s = m_series.value(m_seriesOf.value(p->accountId))) {
        if (s->state == Series::State::Between) {
            // Readiness needs someone there to play: the launcher says it again once it is back.
            const int i = s->acc[0] == p->accountId ? 0 : 1;
            s->ready[i] = false;
            s->inPlace[i] = false;
            const qint64 until = m_server->nowMs() + m_server->options().dropGraceMs;
            if (until < s->deadlineMs) {
                s->deadlineMs = until;
                s->timer.start(int(qMax<qint64>(0, until - m_server->nowMs())));
            }
            sendSeries(s);
        }
    }
}

void MatchHub::playerBack(Player *p)
{
    sayAgainOnReturn(p->accountId);
    Series *s = m_series.value(m_seriesOf.value(p->accountId));
    if (!s)
        return;
    if (s->state == Series::State::Between && s->deadlineMs < s->betweenEndsMs) {
        // Back in time: the rest of the ordinary wait applies again.
        bool allOnline = true;
        for (int a : s->acc)
            allOnline = allOnline && player(a) && player(a)->online();
        if (allOnline) {
            // The launcher says its readiness again on its way back: give it a moment for that.
            s->deadlineMs = qMax(s->betweenEndsMs, m_server->nowMs() + ReturnSlackMs);
            s->timer.start(int(qMax<qint64>(0, s->deadlineMs - m_server->nowMs())));
        }
    }
    send(p->accountId, seriesObject(s, s->acc[0] == p->accountId ? 0 : 1));
}

int MatchHub::playingCount() const
{
    QSet<int> busy;
    for (auto it = m_matchOf.begin(); it != m_matchOf.end(); ++it) {
        const Match *m = m_matches.value(it.value());
        if (m && m->stage != Match::Stage::Accepting && m->stage != Match::Stage::Done)
            busy.insert(it.key());
    }
    for (auto it = m_seriesOf.begin(); it != m_seriesOf.end(); ++it)
        busy.insert(it.key());
    return int(busy.size());
}

QJsonObject MatchHub::gamesObject() const
{
    QHash<QString, QPair<int, int>> counts; // game -> (matches, searching)
    for (const Match *m : m_matches) {
        if (m->stage != Match::Stage::Done)
            counts[m->game].first++;
    }
    for (const Search &s : m_queue)
        counts[s.game].second++;
    // The busiest games only: every player may name a game of their own, and the answer must stay
    // one short line.
    QList<QString> names = counts.keys();
    std::sort(names.begin(), names.end(), [&](const QString &a, const QString &b) {
        const int x = counts[a].first + counts[a].second, y = counts[b].first + counts[b].second;
        return x != y ? x > y : a < b;
    });
    QJsonObject games;
    for (qsizetype i = 0; i < qMin<qsizetype>(names.size(), MaxGamesListed); ++i)
        games.insert(names[i], QJsonObject{{"matches", counts[names[i]].first},
                                           {"searching", counts[names[i]].second}});
    return games;
}

bool MatchHub::holds(int accountId) const
{
    return m_matchOf.contains(accountId) || m_seriesOf.contains(accountId) ||
           std::any_of(m_queue.begin(), m_queue.end(),
                       [&](const Search &s) { return s.accountId == accountId; });
}

void MatchHub::sweep()
{
    const qint64 now = m_server->nowMs();
    m_keepApart.removeIf([now](const auto &it) { return it.value() <= now; });
    // A measured ping is kept while either player of the pair is still known.
    m_measured.removeIf([this](const auto &it) {
        const QStringList ids = it.key().split(':');
        return ids.size() != 2 || (!m_server->player(ids[0].toInt()) && !m_server->player(ids[1].toInt()));
    });
}

void MatchHub::send(int accountId, const QJsonObject &msg)
{
    if (Connection *c = m_server->connectionOf(accountId))
        c->send(msg);
}

void MatchHub::rememberForReturn(int accountId, const QJsonObject &msg)
{
    const qint64 now = m_server->nowMs();
    const qint64 keep = qMax<qint64>(LastWordsMinMs, m_server->options().dropGraceMs);
    // Forget what nobody came back for, so the table holds recent players only.
    for (auto it = m_lastWords.begin(); it != m_lastWords.end();)
        it = now - it->atMs > keep ? m_lastWords.erase(it) : std::next(it);
    const Player *p = player(accountId);
    m_lastWords.insert(accountId, LastWords{msg, now, !p || !p->online()});
}

void MatchHub::sayAgainOnReturn(int accountId)
{
    const auto it = m_lastWords.constFind(accountId);
    if (it == m_lastWords.cend())
        return;
    const qint64 keep = qMax<qint64>(LastWordsMinMs, m_server->options().dropGraceMs);
    if (it->missed && m_server->nowMs() - it->atMs <= keep) {
        send(accountId, it->verdict);
        if (const Player *p = player(accountId))
            serverLog(QStringLiteral("%1 is back after missing the verdict of match %2: said again")
                          .arg(p->name, it->verdict.value("match").toString()));
    }
    m_lastWords.erase(it);
}

Player *MatchHub::player(int accountId) const
{
    return m_server->player(accountId);
}

QString MatchHub::nameOf(int accountId) const
{
    const Player *p = player(accountId);
    return p ? p->name : QString();
}

int MatchHub::sideOf(const Match *m, int accountId) const
{
    return m->acc[0] == accountId ? 1 : m->acc[1] == accountId ? 2 : 0;
}

QString MatchHub::newId(char prefix) const
{
    // 12 characters: short enough for every field that carries a match id. One in use, here or in
    // the records, is drawn again: a record is never written over.
    const char *table = prefix == 's' ? "series" : "matches";
    for (;;) {
        const quint64 r = QRandomGenerator::system()->generate64();
        const QString id = QString(QChar(prefix)) + QString::number(r, 16).rightJustified(16, '0').left(11);
        if (!m_matches.contains(id) && !m_series.contains(id) && !m_server->db().recordTaken(table, id))
            return id;
    }
}
