// Watching lobby matches: which members are offered a lobby match and when. The feed itself is the
// feed relay's business.
#include "feedrelay.h"
#include "lobbyhub.h"
#include "server.h"

void LobbyHub::offerToSpectators(Lobby *l, const QString &matchId)
{
    // Every spectator watches: the watchers and the King of the Hill line alike.
    for (const lobby::Member &m : std::as_const(l->members)) {
        if (m.spectator && m.online)
            m_server->feeds()->watch(matchId, m.accountId);
    }
}

void LobbyHub::offerTo(Lobby *l, int accountId)
{
    const lobby::Member *m = l->member(accountId);
    // A lobby match in hand that has not gone yet is offered to everybody when it goes.
    if (m && m->spectator && !l->matchId.isEmpty() && m_server->feeds()->isRunning(l->matchId))
        m_server->feeds()->watch(l->matchId, accountId);
}
