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
                  {"opponent", nameOf(s->acc[1 - i])},
                  {"you", s->wins[i]},
                  {"them", s->wins[1 - i]},
                  {"need", s->need},
                  {"played", s->played},
                  {"you_ready", s->ready[i]},
                  {"them_ready", s->ready[1 - i]}};
    if (s->ranked)
        o.insert("keeps",
                 sideIndex(s->lastWinner) >= 0 ? nameOf(s->acc[sideIndex(s->lastWinner)]) : QString());
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

void MatchHub::seriesAfterMatch(Series *s, const MatchVerdict &v)
{
    if (s->state == Series::State::Over)
        return;
    s->currentMatch.clear();
    ++s->played;
    if (v.status == MatchStatus::Abandoned && sideIndex(v.leftSide) >= 0) {
        const int left = v.leftSide;
        return s->ranked ? endSeries(s, "forfeit", 3 - left, left) : endSeries(s, "left", 0, left);
    }
    s->lastWinner = 0;
    if (v.status == MatchStatus::Agreed && sideIndex(v.winner) >= 0) {
        ++s->wins[sideIndex(v.winner)];
        s->lastWinner = v.winner;
    }
    if (v.status == MatchStatus::Agreed || v.status == MatchStatus::Draw) {
        for (int i = 0; i < 2; ++i) {
            if (!v.chars[i].isEmpty())
                s->lastChars[i] = v.chars[i];
        }
    }
    if (s->ranked && sideIndex(s->lastWinner) >= 0 && s->wins[sideIndex(s->lastWinner)] >= s->need)
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
    const QString wrong = lobby::wrongField(msg, {{"series", lobby::FieldKind::Text},
                                                  {"ready", lobby::FieldKind::Bool},
                                                  {"choice", lobby::FieldKind::Text},
                                                  {"in_place", lobby::FieldKind::Bool}});
    if (!wrong.isEmpty())
        return p->conn->sendError(msg, "bad_request",
                                  QStringLiteral("The field \"%1\" has the wrong type.").arg(wrong));
    Series *s = m_series.value(m_seriesOf.value(p->accountId));
    if (!s || s->id != msg.value("series").toString())
        return p->conn->sendError(msg, "no_such_series", "That set or series is over.");
    // No choice means the players pick again.
    const QString choice = msg.value("choice").toString(QStringLiteral("select"));
    if (msg.value("ready").toBool() && choice != QLatin1String("rematch") &&
        choice != QLatin1String("select"))
        return p->conn->sendError(msg, "bad_choice", "The next match is a rematch or a character select.");
    const int i = s->acc[0] == p->accountId ? 0 : 1;
    if (!msg.value("ready").toBool())
        return seriesLeave(s, i + 1);
    if (s->state != Series::State::Between)
        return; // readiness only counts between two matches
    s->ready[i] = true;
    s->choice[i] = choice;
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
    // Only side 1 or 2 names a player; anything else names nobody.
    const int wi = sideIndex(winnerSide), li = sideIndex(leftSide);
    s->state = Series::State::Over;
    s->timer.stop();
    s->outcome = outcome;
    s->winnerName = wi >= 0 ? nameOf(s->acc[wi]) : QString();
    s->leftName = li >= 0 ? nameOf(s->acc[li]) : QString();
    auto record = [this, s] {
        QJsonObject r = seriesObject(s, 0);
        r.remove("type");
        r.remove("you_ready");
        r.remove("them_ready");
        r.insert("p1_name", nameOf(s->acc[0]));
        r.insert("p2_name", nameOf(s->acc[1]));
        return r;
    };
    bool stored = false;
    if (s->ranked && wi >= 0 && (outcome == "won" || outcome == "forfeit")) {
        EloChange w, l;
        auto withElo = [&] {
            auto entry = [](const EloChange &c) {
                return QJsonObject{{"before", c.before},
                                   {"after", c.after},
                                   {"delta", c.after - c.before},
                                   {"title_before", c.titleBefore},
                                   {"title_after", c.titleAfter}};
            };
            s->elo = QJsonObject{{nameOf(s->acc[wi]), entry(w)}, {nameOf(s->acc[1 - wi]), entry(l)}};
            return record();
        };
        // The Elo and the set's record go together or not at all.
        stored = m_server->db().applySet(s->acc[wi], s->acc[1 - wi], s->game, s->mode, w, l, withElo);
        if (!stored)
            s->elo = QJsonObject();
    } else {
        stored = m_server->db().recordSeries(record());
    }
    if (!stored)
        serverLog(QStringLiteral("series %1: its record could not be stored").arg(s->id));
    serverLog(QStringLiteral("series %1 over: %2 %3-%4").arg(s->id, outcome).arg(s->wins[0]).arg(s->wins[1]));
    sendSeries(s);
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
