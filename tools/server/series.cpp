// Ranked sets (first to "need" wins, the winner keeps their character) and casual series
// (rematch, character select or leave after each match), with Elo at the end of a set.
#include "elo.h"
#include "lobbyrules.h"
#include "matchhub.h"
#include "server.h"
#include "udphub.h"

#include <QRandomGenerator>

Series *MatchHub::newSeries(Match *m)
{
    auto *s = new Series;
    s->id = newId('s');
    s->game = m->game;
    s->mode = m->mode;
    s->ranked = m->ranked;
    s->need = m->ranked ? m_server->options().setWins : 0;
    for (int i = 0; i < 2; ++i) {
        s->acc[i] = m->acc[i];
        s->req[i] = m->req[i];
        m_seriesOf.insert(s->acc[i], s->id);
    }
    m->seriesId = s->id;
    s->timer.setSingleShot(true);
    const QString id = s->id;
    connect(&s->timer, &QTimer::timeout, this, [this, id] { seriesDeadline(id); });
    m_series.insert(s->id, s);
    serverLog(QStringLiteral("series %1 (%2) starts with match %3")
                  .arg(s->id, s->ranked ? "ranked" : "casual", m->id));
    return s;
}

QJsonObject MatchHub::seriesObject(const Series *s, int i) const
{
    const char *state = s->state == Series::State::Over      ? "over"
                        : s->state == Series::State::Between ? "between"
                                                             : "playing";
    QJsonObject o{{"type", "series"},
                  {"series", s->id},
                  {"state", state},
                  {"ranked", s->ranked},
                  {"game", s->game},
                  {"mode", s->mode},
                  {"opponent", player(s->acc[1 - i])->name},
                  {"you", s->wins[i]},
                  {"them", s->wins[1 - i]},
                  {"need", s->need},
                  {"played", s->played},
                  {"you_ready", s->ready[i]},
                  {"them_ready", s->ready[1 - i]}};
    if (s->ranked)
        o.insert("keeps", s->lastWinner ? player(s->acc[s->lastWinner - 1])->name : QString());
    if (s->state == Series::State::Between)
        o.insert("seconds_left", int(qMax<qint64>(0, (s->deadlineMs - m_server->nowMs() + 999) / 1000)));
    if (s->state == Series::State::Over) {
        o.insert("outcome", s->outcome);
        o.insert("winner", s->winnerName);
        o.insert("left", s->leftName);
        if (!s->elo.isEmpty())
            o.insert("elo", s->elo);
    }
    return o;
}

void MatchHub::sendSeries(Series *s)
{
    for (int i = 0; i < 2; ++i)
        send(s->acc[i], seriesObject(s, i));
}

void MatchHub::seriesAfterMatch(Series *s, const QJsonObject &result)
{
    if (s->state == Series::State::Over)
        return;
    s->currentMatch.clear();
    ++s->played;
    const QString status = result.value("status").toString();
    const int winner = result.value("winner").toInt();
    if (status == "abandoned") {
        const int left = result.value("left_side").toInt();
        return s->ranked ? endSeries(s, "forfeit", 3 - left, left) : endSeries(s, "left", 0, left);
    }
    s->lastWinner = 0;
    if (status == "agreed" && (winner == 1 || winner == 2)) {
        ++s->wins[winner - 1];
        s->lastWinner = winner;
    }
    if (status == "agreed" || status == "draw") {
        const QString chars[2] = {result.value("p1_char").toString(), result.value("p2_char").toString()};
        for (int i = 0; i < 2; ++i) {
            if (!chars[i].isEmpty())
                s->lastChars[i] = chars[i];
        }
    }
    if (s->ranked && s->lastWinner && s->wins[s->lastWinner - 1] >= s->need)
        return endSeries(s, "won", s->lastWinner, 0);
    s->state = Series::State::Between;
    s->ready[0] = s->ready[1] = false;
    s->inPlace[0] = s->inPlace[1] = false;
    s->choice[0].clear();
    s->choice[1].clear();
    const qint64 now = m_server->nowMs();
    s->deadlineMs = now + qint64(m_server->options().seriesWaitS) * 1000;
    s->betweenEndsMs = s->deadlineMs;
    for (int a : s->acc) {
        const Player *p = player(a);
        if (!p || !p->online())
            s->deadlineMs = qMin(s->deadlineMs, now + m_server->options().dropGraceMs);
    }
    s->timer.start(int(s->deadlineMs - now));
    sendSeries(s);
}

void MatchHub::seriesReady(Player *p, const QJsonObject &msg)
{
    Series *s = m_series.value(m_seriesOf.value(p->accountId));
    if (!s || s->id != msg.value("series").toString())
        return p->conn->sendError(msg, "no_such_series", "That set or series is over.");
    const int i = s->acc[0] == p->accountId ? 0 : 1;
    if (!msg.value("ready").toBool())
        return seriesLeave(s, i + 1);
    if (s->state != Series::State::Between)
        return; // readiness only counts between two matches
    s->ready[i] = true;
    const QString choice = msg.value("choice").toString();
    s->choice[i] = choice == "rematch" ? choice : QStringLiteral("select");
    s->inPlace[i] = msg.value("in_place").toBool();
    if (s->ready[0] && s->ready[1] && bothOnline(s))
        startNextMatch(s);
    else
        sendSeries(s);
}

bool MatchHub::bothOnline(const Series *s) const
{
    for (int a : s->acc) {
        const Player *p = player(a);
        if (!p || !p->online())
            return false;
    }
    return true;
}

void MatchHub::seriesLeave(Series *s, int side)
{
    if (s->state == Series::State::Over)
        return;
    Match *m = m_matches.value(s->currentMatch);
    if (s->ranked)
        endSeries(s, "forfeit", 3 - side, side);
    else
        endSeries(s, "left", 0, side);
    // A next match still being set up has no point any more; one being played ends on its own.
    if (m && m->stage != Match::Stage::Playing && m->stage != Match::Stage::Done) {
        const bool requeue[2] = {false, false};
        cancelMatch(m, "series_over", requeue);
    }
}

void MatchHub::seriesDeadline(const QString &id)
{
    Series *s = m_series.value(id);
    if (!s || s->state != Series::State::Between)
        return;
    int offline = 0, notReady = 0, lastNotReady = 0, lastOffline = 0;
    for (int i = 0; i < 2; ++i) {
        const Player *p = player(s->acc[i]);
        if (!p || !p->online()) {
            ++offline;
            lastOffline = i + 1;
        }
        if (!s->ready[i]) {
            ++notReady;
            lastNotReady = i + 1;
        }
    }
    if (offline == 1 && s->ranked)
        return endSeries(s, "forfeit", 3 - lastOffline, lastOffline);
    if (offline > 0)
        return s->ranked ? endSeries(s, "no_result", 0, 0) : endSeries(s, "disconnected", 0, 0);
    if (s->ranked && notReady == 1)
        return endSeries(s, "forfeit", 3 - lastNotReady, lastNotReady);
    s->ranked ? endSeries(s, "no_result", 0, 0) : endSeries(s, "timeout", 0, 0);
}

void MatchHub::endSeries(Series *s, const QString &outcome, int winnerSide, int leftSide)
{
    if (s->state == Series::State::Over)
        return;
    s->state = Series::State::Over;
    s->timer.stop();
    s->outcome = outcome;
    s->winnerName = winnerSide ? player(s->acc[winnerSide - 1])->name : QString();
    s->leftName = leftSide ? player(s->acc[leftSide - 1])->name : QString();
    if (s->ranked && winnerSide && (outcome == "won" || outcome == "forfeit")) {
        EloChange w, l;
        const int wi = winnerSide - 1;
        if (m_server->db().applySet(s->acc[wi], s->acc[1 - wi], s->game, s->mode, w, l)) {
            auto entry = [](const EloChange &c) {
                return QJsonObject{{"before", c.before},
                                   {"after", c.after},
                                   {"delta", c.after - c.before},
                                   {"title_before", c.titleBefore},
                                   {"title_after", c.titleAfter}};
            };
            s->elo.insert(player(s->acc[wi])->name, entry(w));
            s->elo.insert(player(s->acc[1 - wi])->name, entry(l));
        }
    }
    serverLog(QStringLiteral("series %1 over: %2 %3-%4").arg(s->id, outcome).arg(s->wins[0]).arg(s->wins[1]));
    sendSeries(s);
    QJsonObject record = seriesObject(s, 0);
    record.remove("type");
    record.remove("you_ready");
    record.remove("them_ready");
    record.insert("p1_name", player(s->acc[0])->name);
    record.insert("p2_name", player(s->acc[1])->name);
    m_server->db().recordSeries(record);
    for (int a : s->acc) {
        if (m_seriesOf.value(a) == s->id)
            m_seriesOf.remove(a);
    }
    m_series.remove(s->id);
    Match *m = m_matches.value(s->currentMatch);
    if (!m || m->stage == Match::Stage::Done)
        m_server->udp()->relay().removeLink(pairKey(s->acc[0], s->acc[1]));
    QTimer::singleShot(0, this, [s] { delete s; });
}

void MatchHub::startNextMatch(Series *s)
{
    s->timer.stop();
    auto *m = new Match;
    m->id = newId('m');
    m->key = QString::number(QRandomGenerator::system()->generate64(), 16);
    m->game = s->game;
    m->mode = s->mode;
    m->ranked = s->ranked;
    m->seriesId = s->id;
    for (int i = 0; i < 2; ++i) {
        m->acc[i] = s->acc[i];
        m->req[i] = s->req[i];
    }
    m->inPlace = s->inPlace[0] && s->inPlace[1];
    const QString fallback[2] = {s->req[0].character, s->req[1].character};
    lobby::nextCharacters(s->lastChars, fallback, s->lastWinner, s->choice, s->ranked, m->chars, &m->keep);
    for (int i = 0; i < 2; ++i) {
        m->kept.leg[i] = s->leg[i];
        m->kept.remote[i] = s->remote[i];
    }
    m->kept.rtt = s->rtt;
    s->state = Series::State::Playing;
    s->ready[0] = s->ready[1] = false;
    s->currentMatch = m->id;
    registerMatch(m);
    serverLog(
        QStringLiteral("series %1: next match %2%3").arg(s->id, m->id, m->inPlace ? " (in place)" : ""));
    sendFound(m);
}
