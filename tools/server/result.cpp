// Results: both players report, the server compares, and both hear the outcome.
#include "feedrelay.h"
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"

#include <QJsonArray>

namespace {

// Keeps only the fields of a "result" that mean something, each within bounds.
QJsonObject cleanResult(const QJsonObject &msg)
{
    QJsonObject r;
    if (msg.value("winner").isDouble()) {
        r.insert("winner", qBound(0, msg.value("winner").toInt(), 2));
        r.insert("p1_rounds", qBound(0, msg.value("p1_rounds").toInt(), 99));
        r.insert("p2_rounds", qBound(0, msg.value("p2_rounds").toInt(), 99));
    } else {
        r.insert("outcome", msg.value("outcome").toString("error").left(32));
    }
    for (const char *k : {"p1_char", "p2_char", "exit"}) {
        if (msg.value(k).isString())
            r.insert(k, msg.value(k).toString().left(k[0] == 'e' ? 200 : 64));
    }
    for (const char *k : {"exit_code", "frame"}) {
        if (msg.value(k).isDouble())
            r.insert(k, msg.value(k).toInteger());
    }
    QJsonArray lines;
    for (const QJsonValue &v : msg.value("lines").toArray()) {
        if (lines.size() < 40)
            lines.append(v.toString().left(200));
    }
    if (!lines.isEmpty())
        r.insert("lines", lines);
    return r;
}

bool sameScore(const QJsonObject &a, const QJsonObject &b)
{
    return a.value("winner") == b.value("winner") && a.value("p1_rounds") == b.value("p1_rounds") &&
           a.value("p2_rounds") == b.value("p2_rounds");
}

} // namespace

void MatchHub::matchState(Player *p, const QJsonObject &msg)
{
    Match *m = matchOf(p, msg, false);
    if (m && m->stage == Match::Stage::Playing && msg.value("state").toString() == "in_match")
        m->inMatch[sideOf(m, p->accountId) - 1] = true;
}

void MatchHub::result(Player *p, const QJsonObject &msg)
{
    Match *m = matchOf(p, msg);
    if (!m)
        return;
    if (m->stage != Match::Stage::Playing)
        return p->conn->sendError(msg, "not_started", "That match has not started yet.");
    const int i = sideOf(m, p->accountId) - 1;
    p->conn->reply(msg, QJsonObject{{"type", "result_ack"}, {"match", m->id}});
    if (m->haveResult[i])
        return; // a repeated report (after a reconnection) changes nothing
    m->result[i] = cleanResult(msg);
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
    QString status;
    int winner = 0, leftSide = 0;
    QJsonObject score; // the result whose rounds are reported
    for (int i = 0; i < 2 && !leftSide; ++i) {
        if (r[i] && r[i]->value("outcome").toString() == "left")
            leftSide = i + 1;
    }
    for (int i = 0; i < 2 && !leftSide; ++i) {
        const Player *p = player(m->acc[i]);
        if (!r[i] && (!p || !p->online()))
            leftSide = i + 1;
    }
    auto outcome = [&](int i) { return r[i] ? r[i]->value("outcome").toString() : QString(); };
    if (leftSide) {
        status = "abandoned";
        winner = 3 - leftSide;
    } else if (!r[0] || !r[1]) {
        status = "unconfirmed";
    } else if (outcome(0) == "desync" || outcome(1) == "desync") {
        status = "desync";
    } else if (r[0]->contains("winner") && r[1]->contains("winner")) {
        if (sameScore(*r[0], *r[1])) {
            winner = r[0]->value("winner").toInt();
            status = winner == 0 ? "draw" : "agreed";
            score = *r[0];
        } else {
            status = "disputed";
        }
    } else if (outcome(0) == "error" || outcome(1) == "error") {
        status = "error";
    } else {
        status = !outcome(0).isEmpty() ? outcome(0) : outcome(1);
    }
    QJsonObject res{{"type", "match_result"},
                    {"match", m->id},
                    {"status", status},
                    {"winner", winner},
                    {"p1_rounds", score.value("p1_rounds").toInt()},
                    {"p2_rounds", score.value("p2_rounds").toInt()},
                    {"ranked", m->ranked}};
    if (leftSide)
        res.insert("left_side", leftSide);
    for (const char *k : {"p1_char", "p2_char"}) {
        const QString c = score.value(k).toString();
        if (!c.isEmpty())
            res.insert(k, c);
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
        m_server->lobbies()->matchOver(lobbyId, id, res);
        return;
    }
    if (!m->ranked && (status == "agreed" || status == "draw"))
        m_server->db().addCasualResult(m->acc[winner == 2 ? 1 : 0], m->acc[winner == 2 ? 0 : 1], m->game,
                                       m->mode, status == "draw");
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
    m_server->db().recordMatch(record);
    Series *s = m_series.value(m->seriesId);
    const QString lobbyId = m->lobbyId, id = m->id;
    finishMatch(m);
    if (s)
        seriesAfterMatch(s, res);
    if (!lobbyId.isEmpty())
        m_server->lobbies()->matchOver(lobbyId, id, res);
}
