// Results: both players report, the server compares, and both hear the outcome.
#include "feedrelay.h"
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"

#include <QJsonArray>

void MatchHub::matchState(Player *p, const QJsonObject &msg)
{
    Match *m = matchOf(p, msg, false);
    const int i = m ? sideIndex(sideOf(m, p->accountId)) : -1;
    if (i >= 0 && m->stage == Match::Stage::Playing && msg.value("state").toString() == "in_match")
        m->inMatch[i] = true;
}

void MatchHub::result(Player *p, const QJsonObject &msg)
{
    Match *m = matchOf(p, msg);
    if (!m)
        return;
    if (m->stage != Match::Stage::Playing)
        return p->conn->sendError(msg, "not_started", "That match has not started yet.");
    const int i = sideIndex(sideOf(m, p->accountId));
    if (i < 0)
        return;
    if (m->haveResult[i])
        return p->conn->reply(
            msg, QJsonObject{{"type", "result_ack"}, {"match", m->id}}); // a repeat changes nothing
    // Only what a launcher sends is taken; anything else is refused and the player may still send
    // a proper result before the wait ends.
    QString why;
    const QJsonObject clean = matchrules::cleanResult(msg, &why);
    if (clean.isEmpty())
        return p->conn->sendError(msg, "bad_request", why);
    p->conn->reply(msg, QJsonObject{{"type", "result_ack"}, {"match", m->id}});
    m->result[i] = clean;
    m->haveResult[i] = true;
    if (m->haveResult[0] && m->haveResult[1])
        return decideResult(m);
    // The other side has this long to report; a player who is offline counts as having left.
    m->timer.start(player(m->acc[1 - i])->online() ? m_server->options().resultWaitMs
                                                   : m_server->options().dropGraceMs);
}

void MatchHub::resultWaitOver(const QString &id)
{
    if (Match *m = m_matches.value(id); m && m->stage == Match::Stage::Playing)
        decideResult(m);
}

void MatchHub::decideResult(Match *m)
{
    m->timer.stop();
    const QJsonObject *r[2] = {m->haveResult[0] ? &m->result[0] : nullptr,
                               m->haveResult[1] ? &m->result[1] : nullptr};
    bool offline[2];
    for (int i = 0; i < 2; ++i) {
        const Player *p = player(m->acc[i]);
        offline[i] = !p || !p->online();
    }
    const MatchVerdict verdict = matchrules::decide(r, offline);
    const QString status = statusName(verdict.status);
    const int winner = verdict.winner, leftSide = verdict.leftSide;
    const bool scored = verdict.status == MatchStatus::Agreed || verdict.status == MatchStatus::Draw;
    QJsonObject res{{"type", "match_result"},
                    {"match", m->id},
                    {"status", status},
                    {"winner", winner},
                    {"p1_rounds", scored ? r[0]->value("p1_rounds").toInt() : 0},
                    {"p2_rounds", scored ? r[0]->value("p2_rounds").toInt() : 0},
                    {"ranked", m->ranked}};
    if (leftSide)
        res.insert("left_side", leftSide);
    for (int i = 0; i < 2; ++i) {
        if (!verdict.chars[i].isEmpty())
            res.insert(i == 0 ? "p1_char" : "p2_char", verdict.chars[i]);
    }
    if (!m->seriesId.isEmpty())
        res.insert("series", m->seriesId);
    serverLog(QStringLiteral("match %1 result: %2, winner %3").arg(m->id, status).arg(winner));
    for (int a : m->acc) {
        send(a, res);
        rememberForReturn(a, res);
    }
    m_server->feeds()->end(m->id, status, winner);
    // Practice counts nowhere; versus and King of the Hill lobbies count as casual.
    if (!m->counts) {
        const QString lobbyId = m->lobbyId, id = m->id;
        finishMatch(m);
        m_server->lobbies()->matchOver(lobbyId, id, verdict);
        return;
    }
    CasualCount casual;
    if (!m->ranked && scored)
        casual = {m->acc[winner == 2 ? 1 : 0], m->acc[winner == 2 ? 0 : 1], m->game, m->mode,
                  verdict.status == MatchStatus::Draw};
    QJsonObject record = res;
    record.remove("type");
    record.insert("game", m->game);
    record.insert("mode", m->mode);
    record.insert("p1_name", player(m->acc[0])->name);
    record.insert("p2_name", player(m->acc[1])->name);
    record.insert("reports", QJsonArray{r[0] ? *r[0] : QJsonObject(), r[1] ? *r[1] : QJsonObject()});
    if (!m->lobbyId.isEmpty()) {
        record.insert("lobby", m->lobbyId);
        record.insert("kind", m->lobbyKind);
    }
    if (!m_server->db().recordMatch(record, casual.winnerId >= 0 ? &casual : nullptr))
        serverLog(QStringLiteral("match %1: its record and stats could not be stored").arg(m->id));
    Series *s = m_series.value(m->seriesId);
    const QString lobbyId = m->lobbyId, id = m->id;
    finishMatch(m);
    if (s)
        seriesAfterMatch(s, verdict);
    if (!lobbyId.isEmpty())
        m_server->lobbies()->matchOver(lobbyId, id, verdict);
}
