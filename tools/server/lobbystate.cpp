// What members and the lobby list see of a lobby.
#include "lobbyhub.h"
#include "server.h"

#include <QJsonArray>

using lobby::Kind;
using lobby::Member;

int LobbyHub::maxPlayers(const Lobby *l) const
{
    return l->kind == Kind::Koth ? lobby::MaxKothPlayers : lobby::VersusPlayers;
}

QString LobbyHub::stateOf(const Lobby *l) const
{
    if (!l->matchId.isEmpty())
        return QStringLiteral("in_match");
    return lobby::seatCount(l->members) >= maxPlayers(l) ? QStringLiteral("full") : QStringLiteral("open");
}

static QString nameOf(const Lobby *l, int accountId)
{
    for (const Member &m : l->members) {
        if (m.accountId == accountId)
            return m.name;
    }
    return {};
}

QJsonObject LobbyHub::lobbyObject(const Lobby *l, int forAccount) const
{
    QJsonArray members;
    for (const Member &m : l->members) {
        members.append(QJsonObject{{"name", m.name},
                                   {"ready", m.ready},
                                   {"spectator", m.spectator},
                                   {"line", m.line},
                                   {"wins", m.wins},
                                   {"version", m.version},
                                   {"build", m.build}});
    }
    QJsonObject o{{"id", l->id},
                  {"name", l->name},
                  {"host", nameOf(l, l->hostId)},
                  {"game", l->game},
                  {"mode", l->mode},
                  {"kind", lobby::kindName(l->kind)},
                  {"koth", l->kind == Kind::Koth},
                  {"locked", !l->password.isEmpty()},
                  {"rounds", l->rounds},
                  {"region", l->region},
                  {"state", stateOf(l)},
                  {"king", l->kind == Kind::Koth ? nameOf(l, l->kingId) : QString()},
                  {"members", members}};
    if (l->startsIn >= 0)
        o.insert("starts_in", l->startsIn);
    if (!l->rating.isEmpty())
        o.insert("rating", l->rating);
    // Only the host is shown the password, so they can pass it on.
    if (forAccount == l->hostId)
        o.insert("password", l->password);
    return QJsonObject{{"type", "lobby"}, {"lobby", o}};
}

QJsonObject LobbyHub::listRow(const Lobby *l) const
{
    return QJsonObject{{"id", l->id},
                       {"name", l->name},
                       {"host", nameOf(l, l->hostId)},
                       {"players", lobby::seatCount(l->members)},
                       {"max_players", maxPlayers(l)},
                       {"mode", l->mode},
                       {"koth", l->kind == Kind::Koth},
                       {"locked", !l->password.isEmpty()},
                       {"region", l->region},
                       {"state", stateOf(l)}};
}

void LobbyHub::broadcast(Lobby *l, Player *requester, const QJsonObject &request)
{
    for (const Member &m : std::as_const(l->members)) {
        Connection *c = m_server->connectionOf(m.accountId);
        if (!c)
            continue;
        if (requester && m.accountId == requester->accountId)
            c->reply(request, lobbyObject(l, m.accountId));
        else
            c->send(lobbyObject(l, m.accountId));
    }
}
