// The match hub's side of lobby matches: who is free for a lobby, and lobby matches started,
// called off and ended.
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"
#include "udphub.h"

#include <QRandomGenerator>

bool MatchHub::busyForLobby(int accountId) const
{
    if (const Match *m = m_matches.value(m_matchOf.value(accountId)); m && m->stage != Match::Stage::Done)
        return true;
    const Series *s = m_series.value(m_seriesOf.value(accountId));
    return s && s->state != Series::State::Between;
}

void MatchHub::leaveForLobby(int accountId)
{
    removeFromQueue(accountId);
    // Going to a lobby from the result screen means the player is done with the series.
    if (Series *s = m_series.value(m_seriesOf.value(accountId)); s && s->state == Series::State::Between)
        seriesLeave(s, s->acc[0] == accountId ? 1 : 2);
}

QString MatchHub::startLobbyMatch(const QString &lobbyId, const QString &kind, const Search req[2],
                                  const QString chars[2], int rounds, bool resultChoice, bool counts,
                                  bool inPlace, const KeptPath &kept)
{
    auto *m = new Match;
    m->id = newId('m');
    m->key = QString::number(QRandomGenerator::system()->generate64(), 16);
    m->game = req[0].game;
    m->mode = req[0].mode;
    m->lobbyId = lobbyId;
    m->lobbyKind = kind;
    m->rounds = rounds;
    m->resultChoice = resultChoice;
    m->counts = counts;
    m->inPlace = inPlace;
    m->kept = kept;
    for (int i = 0; i < 2; ++i) {
        m->req[i] = req[i];
        m->acc[i] = req[i].accountId;
        m->chars[i] = chars[i];
    }
    registerMatch(m);
    serverLog(QStringLiteral("lobby %1: match %2, %3 vs %4%5")
                  .arg(lobbyId, m->id, player(m->acc[0])->name, player(m->acc[1])->name,
                       inPlace ? " (in place)" : ""));
    const QString id = m->id;
    sendFound(m);
    return id;
}

void MatchHub::lobbyMatchLeft(const QString &matchId, int accountId)
{
    Match *m = m_matches.value(matchId);
    if (!m || m->stage == Match::Stage::Playing || m->stage == Match::Stage::Done)
        return; // a match being played ends with its result
    const bool requeue[2] = {false, false};
    cancelMatch(m, "peer_left", requeue, sideOf(m, accountId));
}

void MatchHub::forgetPath(int a, int b)
{
    if (a >= 0 && b >= 0)
        m_server->udp()->relay().removeLink(pairKey(a, b));
}
