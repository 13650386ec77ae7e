// Lobby play: readiness, the countdown, lobby matches, King of the Hill's line and its ratings.
#include "lobbyhub.h"
#include "server.h"

#include <QJsonArray>
#include <QRandomGenerator>
#include <cmath>

using lobby::FieldKind;
using lobby::Kind;
using lobby::Member;

void LobbyHub::ready(Player *p, const QJsonObject &msg)
{
    Connection *c = p->conn;
    Lobby *l = m_lobbies.value(m_lobbyOf.value(p->accountId));
    if (!l)
        return c->sendError(msg, "not_in_lobby", "You are not in a lobby.");
    QString wrong = lobby::wrongField(msg, {{"ready", FieldKind::Bool},
                                            {"relay", FieldKind::Bool},
                                            {"hide_always", FieldKind::Bool},
                                            {"link", FieldKind::Text},
                                            {"server_rtt", FieldKind::Number},
                                            {"delay", FieldKind::Number},
                                            {"delay_auto", FieldKind::Bool},
                                            {"in_place", FieldKind::Bool},
                                            {"choice", FieldKind::Text}});
    if (wrong.isEmpty() && !msg.contains("ready"))
        wrong = "ready";
    if (!wrong.isEmpty())
        return c->sendError(msg, "bad_request",
                            QStringLiteral("The field \"%1\" has the wrong type.").arg(wrong));
    Member *m = l->member(p->accountId);
    if (m->spectator)
        return c->sendError(msg, "spectator", "You are watching this lobby: spectators do not get ready.");
    const bool ready = msg.value("ready").toBool();
    if (ready && !l->matchId.isEmpty())
        return c->sendError(msg, "busy", "A match is on: get ready once it is over.");
    m->ready = ready;
    m->inPlace = ready && msg.value("in_place").toBool();
    m->choice.clear();
    if (ready && msg.contains("choice"))
        m->choice = msg.value("choice").toString() == "rematch" ? QStringLiteral("rematch")
                                                                : QStringLiteral("select");
    if (ready) {
        m->relay = msg.value("relay").toBool();
        m->hideAlways = msg.value("hide_always").toBool();
        if (msg.contains("link"))
            m->link = msg.value("link").toString().left(16);
        if (msg.contains("server_rtt"))
            m->serverRtt = matchrules::clampRtt(msg.value("server_rtt"), -1);
        m->delay = qBound(0, msg.value("delay").toInt(1), 10);
        m->delayAuto = msg.value("delay_auto").toBool();
    }
    updateCountdown(l);
    broadcast(l, p, msg);
}

bool LobbyHub::canStart(Lobby *l)
{
    if (!l->matchId.isEmpty() || lobby::playerCount(l->members) != lobby::VersusPlayers)
        return false;
    for (const Member &m : std::as_const(l->members)) {
        if (!m.spectator && (!m.ready || !m.online || m_server->hub()->busyForLobby(m.accountId)))
            return false;
    }
    return true;
}

void LobbyHub::updateCountdown(Lobby *l)
{
    if (canStart(l)) {
        if (l->startsIn < 0) {
            l->startsIn = m_server->options().lobbyCountdownS;
            l->countdown.start(l->startsIn == 0 ? 0 : 1000);
        }
    } else if (l->startsIn >= 0) {
        l->startsIn = -1;
        l->countdown.stop();
    }
}

void LobbyHub::countdownTick(const QString &id)
{
    Lobby *l = m_lobbies.value(id);
    if (!l || l->startsIn < 0)
        return;
    if (!canStart(l)) {
        updateCountdown(l);
        return broadcast(l);
    }
    l->countdown.setInterval(1000);
    if (--l->startsIn > 0)
        return broadcast(l);
    l->countdown.stop();
    l->startsIn = -1;
    startMatch(l);
}

void LobbyHub::dropPath(Lobby *l)
{
    if (l->pathKept)
        m_server->hub()->forgetPath(l->lastAcc[0], l->lastAcc[1]);
    l->pathKept = false;
}

void LobbyHub::startMatch(Lobby *l)
{
    Member *pl[2] = {nullptr, nullptr};
    for (Member &m : l->members) {
        if (!m.spectator)
            (pl[0] ? pl[1] : pl[0]) = &m;
    }
    const bool samePair =
        l->pathKept && ((pl[0]->accountId == l->lastAcc[0] && pl[1]->accountId == l->lastAcc[1]) ||
                        (pl[0]->accountId == l->lastAcc[1] && pl[1]->accountId == l->lastAcc[0]));
    const bool inPlace = samePair && pl[0]->inPlace && pl[1]->inPlace;
    // Sides: the same two keep theirs; the king is player 1; otherwise by lot.
    bool swap = false;
    if (samePair)
        swap = pl[0]->accountId != l->lastAcc[0];
    else if (l->kind == Kind::Koth)
        swap = pl[1]->accountId == l->kingId;
    else
        swap = QRandomGenerator::system()->bounded(2) == 1;
    if (swap)
        std::swap(pl[0], pl[1]);
    QString chars[2] = {pl[0]->character, pl[1]->character};
    if (inPlace) {
        const QString fallback[2] = {pl[0]->character, pl[1]->character};
        const QString choice[2] = {pl[0]->choice, pl[1]->choice};
        int keep = 0;
        lobby::nextCharacters(l->lastChars, fallback, l->lastWinner, choice, false, chars, &keep);
    }
    Search req[2];
    for (int i = 0; i < 2; ++i) {
        const Member &m = *pl[i];
        req[i].accountId = m.accountId;
        req[i].game = l->game;
        req[i].mode = l->mode;
        req[i].region = l->region;
        req[i].character = chars[i];
        req[i].relay = m.relay;
        req[i].hideAlways = m.hideAlways;
        req[i].link = m.link;
        req[i].serverRtt = m.serverRtt;
        req[i].delay = m.delay;
        req[i].delayAuto = m.delayAuto;
    }
    const KeptPath kept = l->path;
    if (!inPlace)
        dropPath(l); // the new match finds its own path
    for (Member &m : l->members) {
        m.ready = false;
        m.inPlace = false;
        m.choice.clear();
    }
    l->matchId =
        m_server->hub()->startLobbyMatch(l->id, lobby::kindName(l->kind), req, chars, l->rounds,
                                         l->kind != Kind::Koth, l->kind != Kind::Practice, inPlace, kept);
    broadcast(l);
}

void LobbyHub::matchWent(const Match &m)
{
    Lobby *l = m_lobbies.value(m.lobbyId);
    if (!l)
        return;
    for (int i = 0; i < 2; ++i) {
        l->lastAcc[i] = m.acc[i];
        l->path.leg[i] = m.leg[i];
        l->path.remote[i] = m.remote[i];
        l->lastChars[i] = m.chars[i];
    }
    l->path.rtt = m.rtt;
    l->pathKept = true;
    offerToSpectators(l, m.id);
}

void LobbyHub::matchCancelled(const QString &lobbyId, const QString &matchId)
{
    Lobby *l = m_lobbies.value(lobbyId);
    if (!l || l->matchId != matchId)
        return;
    l->matchId.clear();
    l->pathKept = false; // the called-off match's path is gone with it
    if (l->kind == Kind::Koth)
        lobby::kothFill(l->members);
    updateCountdown(l);
    broadcast(l);
}

void LobbyHub::matchOver(const QString &lobbyId, const QString &matchId, const MatchVerdict &v)
{
    Lobby *l = m_lobbies.value(lobbyId);
    if (!l || l->matchId != matchId)
        return;
    l->matchId.clear();
    const int si = sideIndex(v.winner);
    const bool agreed = v.status == MatchStatus::Agreed && si >= 0;
    const bool decided = (agreed || v.status == MatchStatus::Abandoned) && si >= 0;
    const int winnerId = decided ? l->lastAcc[si] : -1;
    l->lastWinner = agreed ? v.winner : 0;
    for (int i = 0; i < 2; ++i) {
        if (!v.chars[i].isEmpty())
            l->lastChars[i] = v.chars[i];
    }
    Member *winner = l->member(winnerId);
    if (winner && agreed && l->kind != Kind::Practice)
        ++winner->wins;
    if (l->kind == Kind::Koth) {
        // The winner stays on. After a draw both agreed to, the king stays and the challenger goes
        // back. A match that ends without a verdict both sides gave (disputed, unconfirmed, an
        // error, ...) keeps nobody on: either side could have made it so, so both go to the back
        // of the line, the king last, and the line comes in.
        if (winner)
            l->kingId = winnerId;
        const int kingBefore = l->kingId;
        if (!winner && v.status != MatchStatus::Draw) {
            const int challenger = l->lastAcc[0] == kingBefore ? l->lastAcc[1] : l->lastAcc[0];
            lobby::kothAfterMatch(l->members, challenger);
            lobby::kothAfterMatch(l->members, kingBefore);
            l->kingId = lobby::kingOf(l->members, -1);
        } else {
            const int loserId = winnerId >= 0 ? (l->lastAcc[0] == winnerId ? l->lastAcc[1] : l->lastAcc[0])
                                              : (l->lastAcc[0] == kingBefore ? l->lastAcc[1] : l->lastAcc[0]);
            lobby::kothAfterMatch(l->members, loserId);
            l->kingId = lobby::kingOf(l->members, l->kingId);
        }
        if (winner && agreed) {
            QJsonArray raters;
            for (const Member &m : std::as_const(l->members)) {
                if (m.accountId != winnerId)
                    raters.append(m.name);
            }
            l->rating = QJsonObject{
                {"match", matchId}, {"winner", winner->name}, {"raters", raters}, {"rated", QJsonArray()}};
            l->ratingWinnerId = winnerId;
        }
    }
    if (!l->member(l->lastAcc[0]) || !l->member(l->lastAcc[1]))
        dropPath(l);
    updateCountdown(l);
    broadcast(l);
}

void LobbyHub::rate(Player *p, const QJsonObject &msg)
{
    Connection *c = p->conn;
    Lobby *l = m_lobbies.value(m_lobbyOf.value(p->accountId));
    if (!l)
        return c->sendError(msg, "not_in_lobby", "You are not in a lobby.");
    const QString wrong = lobby::wrongField(msg, {{"match", FieldKind::Text}, {"score", FieldKind::Number}});
    if (!wrong.isEmpty())
        return c->sendError(msg, "bad_request",
                            QStringLiteral("The field \"%1\" has the wrong type.").arg(wrong));
    if (l->rating.isEmpty() || l->rating.value("match").toString() != msg.value("match").toString())
        return c->sendError(msg, "no_such_match", "There is no win of that match to rate.");
    const QJsonArray raters = l->rating.value("raters").toArray();
    QJsonArray rated = l->rating.value("rated").toArray();
    if (!raters.contains(p->name))
        return c->sendError(msg, "not_a_rater", "You cannot rate this win.");
    if (rated.contains(p->name))
        return c->sendError(msg, "already_rated", "You rated this win already.");
    const double score = msg.value("score").toDouble();
    if (!(score >= 1 && score <= 10) || score != std::floor(score))
        return c->sendError(msg, "bad_score", "A rating is a whole number from 1 to 10.");
    m_server->db().addRating(l->rating.value("match").toString(), l->id, l->ratingWinnerId, p->accountId,
                             int(score));
    rated.append(p->name);
    l->rating.insert("rated", rated);
    broadcast(l, p, msg);
}
