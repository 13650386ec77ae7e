// Lobbies: creating, joining, listing and leaving them, and members who drop and come back.
#include "lobbyhub.h"
#include "feedrelay.h"
#include "server.h"

#include <QJsonArray>
#include <QRandomGenerator>

using lobby::Field;
using lobby::FieldKind;
using lobby::Kind;
using lobby::Member;

lobby::Member *Lobby::member(int accountId)
{
    for (Member &m : members) {
        if (m.accountId == accountId)
            return &m;
    }
    return nullptr;
}

LobbyHub::LobbyHub(Server *server) : QObject(server), m_server(server) {}

LobbyHub::~LobbyHub()
{
    qDeleteAll(m_lobbies);
}

bool LobbyHub::handle(Player *p, const QJsonObject &msg)
{
    const QString type = msg.value("type").toString();
    if (type == "lobby_create")
        create(p, msg);
    else if (type == "lobby_join")
        join(p, msg);
    else if (type == "lobby_list")
        list(p, msg);
    else if (type == "lobby_leave")
        leave(p, msg);
    else if (type == "lobby_ready")
        ready(p, msg);
    else if (type == "lobby_rate")
        rate(p, msg);
    else
        return false;
    return true;
}

bool LobbyHub::refuseBusy(Player *p, const QJsonObject &msg)
{
    if (m_server->hub()->busyForLobby(p->accountId)) {
        p->conn->sendError(msg, "busy", "Your match is still on: finish it first.");
        return true;
    }
    if (isMember(p->accountId)) {
        p->conn->sendError(
            msg, "busy", QStringLiteral("You are in lobby %1: leave it first.").arg(m_lobbyOf[p->accountId]));
        return true;
    }
    return false;
}

lobby::Member LobbyHub::newMember(Player *p, const QJsonObject &msg) const
{
    Member m;
    m.accountId = p->accountId;
    m.name = p->name;
    m.version = p->conn->clientVersion;
    m.build = p->conn->clientBuild;
    m.character = msg.value("character").toString().left(64);
    if (m.character.isEmpty())
        m.character = "-";
    m.link = msg.value("link").toString().left(16);
    m.serverRtt = msg.value("server_rtt").isDouble() ? qBound(0, msg.value("server_rtt").toInt(), 60000) : -1;
    return m;
}

void LobbyHub::create(Player *p, const QJsonObject &msg)
{
    Connection *c = p->conn;
    lobby::CreateRequest req;
    QString message;
    const QString code = lobby::parseCreate(msg, p->name, m_server->options().rounds, req, &message);
    if (!code.isEmpty())
        return c->sendError(msg, code, message);
    if (req.kind == Kind::Koth &&
        (!m_server->options().features.contains("koth") || !c->clientFeatures.contains("koth")))
        return c->sendError(msg, "no_koth", "This server has no King of the Hill lobbies for your launcher.");
    if (refuseBusy(p, msg))
        return;
    if (m_lobbies.size() >= m_server->options().maxLobbies) {
        if (!m_capLogged)
            serverLog(
                QStringLiteral("lobby refused: %1 lobbies, the most there may be").arg(m_lobbies.size()));
        m_capLogged = true;
        return c->sendError(msg, "too_many_lobbies", "The server has as many lobbies as it can hold.");
    }
    m_capLogged = false;
    m_server->hub()->leaveForLobby(p->accountId);

    auto *l = new Lobby;
    do {
        l->id = lobby::makeCode([](quint32 n) { return QRandomGenerator::system()->bounded(n); });
    } while (m_lobbies.contains(l->id));
    l->name = req.name;
    l->game = req.game;
    l->mode = req.mode;
    l->kind = req.kind;
    l->rounds = req.rounds;
    l->password = req.password;
    l->region = req.region;
    l->hostId = p->accountId;
    if (l->kind == Kind::Koth)
        l->kingId = p->accountId;
    l->members.append(newMember(p, msg));
    l->countdown.setInterval(1000);
    const QString id = l->id;
    connect(&l->countdown, &QTimer::timeout, this, [this, id] { countdownTick(id); });
    m_lobbies.insert(l->id, l);
    m_lobbyOf.insert(p->accountId, l->id);
    serverLog(QStringLiteral("lobby %1 (%2) created by %3").arg(l->id, lobby::kindName(l->kind), p->name));
    broadcast(l, p, msg);
}

void LobbyHub::join(Player *p, const QJsonObject &msg)
{
    Connection *c = p->conn;
    const QString wrong = lobby::wrongField(msg, {{"lobby", FieldKind::Text},
                                                  {"password", FieldKind::Text},
                                                  {"character", FieldKind::Text},
                                                  {"spectate", FieldKind::Bool},
                                                  {"link", FieldKind::Text},
                                                  {"server_rtt", FieldKind::Number}});
    if (!wrong.isEmpty())
        return c->sendError(msg, "bad_request",
                            QStringLiteral("The field \"%1\" has the wrong type.").arg(wrong));
    const QString code = lobby::normalizeCode(msg.value("lobby").toString().left(16));
    if (m_lobbyOf.value(p->accountId) == code && m_lobbies.contains(code)) {
        // Already in: the lobby as it stands.
        return c->reply(msg, lobbyObject(m_lobbies[code], p->accountId));
    }
    if (refuseBusy(p, msg))
        return;
    Lobby *l = lobby::isCode(code) ? m_lobbies.value(code) : nullptr;
    if (!l)
        return c->sendError(msg, "no_such_lobby", QStringLiteral("There is no lobby %1.").arg(code));
    if (!l->password.isEmpty()) {
        // Wrong lobby passwords count per account and lobby always, and with wrong sign-in
        // passwords per address and per player while the throttle is on.
        const qint64 now = m_server->nowMs();
        Throttle &t = m_server->throttle();
        const QString key = QStringLiteral("lobby:") + p->name;
        const QString mine = QStringLiteral("%1:%2").arg(p->accountId).arg(l->id);
        QList<qint64> &tries = m_wrongPasswords[mine];
        tries.removeIf([now](qint64 at) { return now - at >= Throttle::FailureWindowMs; });
        if (tries.size() >= Throttle::MaxFailures || t.loginBlocked(c->peerAddress(), key, now))
            return c->sendError(msg, "too_many_tries",
                                "Too many wrong passwords. Try again in a few minutes.");
        if (msg.value("password").toString() != l->password) {
            tries.append(now);
            t.loginFailed(c->peerAddress(), key, now);
            return c->sendError(msg, "wrong_password", "Wrong lobby password.");
        }
        m_wrongPasswords.remove(mine);
        t.clearFailures(c->peerAddress(), key);
    }
    if (l->kind == Kind::Koth && !c->clientFeatures.contains("koth"))
        return c->sendError(msg, "no_koth", "Your launcher does not play King of the Hill lobbies.");
    Member m = newMember(p, msg);
    if (msg.value("spectate").toBool()) {
        int watchers = 0;
        for (const Member &x : std::as_const(l->members))
            watchers += x.watcher ? 1 : 0;
        if (watchers >= lobby::MaxSpectators)
            return c->sendError(msg, "lobby_full", "This lobby has as many spectators as it takes.");
        m.spectator = m.watcher = true;
    } else if (lobby::seatCount(l->members) >= maxPlayers(l)) {
        return c->sendError(msg, "lobby_full", "This lobby is full.");
    } else if (lobby::playerCount(l->members) >= lobby::VersusPlayers ||
               lobby::seatCount(l->members) > lobby::playerCount(l->members)) {
        // King of the Hill: the newcomer waits at the back of the line (also behind a line that
        // moves up once the match on the hill is over).
        int back = 0;
        for (const Member &x : std::as_const(l->members))
            back = qMax(back, x.line);
        m.spectator = true;
        m.line = back + 1;
    }
    m_server->hub()->leaveForLobby(p->accountId);
    l->members.append(m);
    m_lobbyOf.insert(p->accountId, l->id);
    serverLog(QStringLiteral("lobby %1: %2 joins%3").arg(l->id, p->name, m.watcher ? " to watch" : ""));
    updateCountdown(l);
    broadcast(l, p, msg);
    offerTo(l, p->accountId);
}

void LobbyHub::list(Player *p, const QJsonObject &msg)
{
    const QString game = msg.value("game").toString();
    QJsonArray rows;
    for (const Lobby *l : std::as_const(m_lobbies)) {
        // Private lobbies and practice are found by their code only.
        if (!l->password.isEmpty() || l->kind == Kind::Practice || (!game.isEmpty() && l->game != game))
            continue;
        rows.append(listRow(l));
        if (rows.size() >= 100)
            break;
    }
    p->conn->reply(msg, QJsonObject{{"type", "lobbies"}, {"lobbies", rows}});
}

void LobbyHub::leave(Player *p, const QJsonObject &msg)
{
    Lobby *l = m_lobbies.value(m_lobbyOf.value(p->accountId));
    if (!l)
        return p->conn->sendError(msg, "not_in_lobby", "You are not in a lobby.");
    const QString id = l->id;
    removeMember(l, p->accountId);
    p->conn->reply(msg, QJsonObject{{"type", "lobby_left"}, {"lobby", id}});
}

void LobbyHub::removeMember(Lobby *l, int accountId)
{
    const Member *gone = l->member(accountId);
    if (!gone)
        return;
    serverLog(QStringLiteral("lobby %1: %2 leaves").arg(l->id, gone->name));
    m_server->feeds()->stopWatching(accountId);
    l->members.removeIf([accountId](const Member &m) { return m.accountId == accountId; });
    m_lobbyOf.remove(accountId);
    if (!l->matchId.isEmpty())
        m_server->hub()->lobbyMatchLeft(l->matchId, accountId); // may come back through matchCancelled
    if (l->matchId.isEmpty() && (l->lastAcc[0] == accountId || l->lastAcc[1] == accountId))
        dropPath(l);
    if (l->members.isEmpty()) {
        serverLog(QStringLiteral("lobby %1 is gone").arg(l->id));
        const QString suffix = QLatin1Char(':') + l->id;
        m_wrongPasswords.removeIf([&suffix](const auto &it) { return it.key().endsWith(suffix); });
        // A match still being played keeps its relay link until its end (the match hub drops it).
        if (l->matchId.isEmpty())
            dropPath(l);
        m_lobbies.remove(l->id);
        delete l;
        return;
    }
    if (l->hostId == accountId) {
        // The host passes on to the longest-present player, else the longest-present member.
        l->hostId = l->members.first().accountId;
        for (const Member &m : std::as_const(l->members)) {
            if (!m.spectator) {
                l->hostId = m.accountId;
                break;
            }
        }
    }
    if (l->kind == Kind::Koth && l->matchId.isEmpty()) {
        lobby::kothFill(l->members);
        l->kingId = lobby::kingOf(l->members, l->kingId);
    }
    updateCountdown(l);
    broadcast(l);
}

void LobbyHub::playerGone(Player *p)
{
    Lobby *l = m_lobbies.value(m_lobbyOf.value(p->accountId));
    Member *m = l ? l->member(p->accountId) : nullptr;
    if (!m)
        return;
    m_server->feeds()->stopWatching(p->accountId);
    // The place is kept for the grace, not the readiness.
    m->online = false;
    m->ready = false;
    m->inPlace = false;
    const int drop = ++m->dropCount;
    const QString id = l->id;
    const int account = p->accountId;
    QTimer::singleShot(m_server->options().dropGraceMs, this, [this, id, account, drop] {
        Lobby *ll = m_lobbies.value(id);
        const Member *mm = ll ? ll->member(account) : nullptr;
        if (mm && !mm->online && mm->dropCount == drop)
            removeMember(ll, account);
    });
    updateCountdown(l);
    broadcast(l);
}

void LobbyHub::playerBack(Player *p)
{
    Lobby *l = m_lobbies.value(m_lobbyOf.value(p->accountId));
    Member *m = l ? l->member(p->accountId) : nullptr;
    if (!m)
        return;
    m->online = true;
    m->version = p->conn->clientVersion;
    m->build = p->conn->clientBuild;
    p->conn->send(lobbyObject(l, p->accountId));
    offerTo(l, p->accountId);
}
