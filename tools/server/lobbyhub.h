#pragma once

#include "lobbyrules.h"
#include "matchhub.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

class Server;
struct Player;

// One lobby: its members in the order they came, the countdown, and what the last match left.
struct Lobby {
    QString id, name, game, mode, password, region;
    lobby::Kind kind = lobby::Kind::Versus;
    int rounds = 3;
    int hostId = -1;
    int kingId = -1; // King of the Hill: the player who stays on
    QList<lobby::Member> members;
    QString matchId;   // the lobby match in hand
    int startsIn = -1; // seconds of the countdown, -1 when none runs
    QTimer countdown;
    // The last match that started, for a next match in place between the same two.
    int lastAcc[2] = {-1, -1};
    bool pathKept = false;
    KeptPath path;
    int lastWinner = 0;
    QString lastChars[2] = {"-", "-"};
    QJsonObject rating; // King of the Hill: the last win to rate
    int ratingWinnerId = -1;

    lobby::Member *member(int accountId);
};

// Lobbies: create, join, list, leave, ready, the countdown, lobby matches and King of the Hill.
class LobbyHub : public QObject {
    Q_OBJECT
public:
    explicit LobbyHub(Server *server);
    ~LobbyHub() override;

    // Handles a signed-in player's lobby message; false when the type is not one of ours.
    bool handle(Player *p, const QJsonObject &msg);
    bool isMember(int accountId) const { return m_lobbyOf.contains(accountId); }
    bool exists(const QString &lobbyId) const { return m_lobbies.contains(lobbyId); }
    void playerGone(Player *p);
    void playerBack(Player *p);

    // From the match hub.
    void matchWent(const Match &m);
    void matchOver(const QString &lobbyId, const QString &matchId, const MatchVerdict &verdict);
    void matchCancelled(const QString &lobbyId, const QString &matchId);

private:
    // lobbyhub.cpp
    void create(Player *p, const QJsonObject &msg);
    void join(Player *p, const QJsonObject &msg);
    void list(Player *p, const QJsonObject &msg);
    void leave(Player *p, const QJsonObject &msg);
    void removeMember(Lobby *l, int accountId);
    lobby::Member newMember(Player *p, const QJsonObject &msg) const;
    bool refuseBusy(Player *p, const QJsonObject &msg);
    // lobbystate.cpp
    QJsonObject lobbyObject(const Lobby *l, int forAccount) const;
    QJsonObject listRow(const Lobby *l) const;
    QString stateOf(const Lobby *l) const;
    int maxPlayers(const Lobby *l) const;
    // Sends "lobby" to every member; the one whose request it answers gets it as the reply.
    void broadcast(Lobby *l, Player *requester = nullptr, const QJsonObject &request = {});
    // lobbyplay.cpp
    void ready(Player *p, const QJsonObject &msg);
    void rate(Player *p, const QJsonObject &msg);
    // Starts or stops the countdown as the lobby now stands (call before broadcast).
    void updateCountdown(Lobby *l);
    void countdownTick(const QString &id);
    bool canStart(Lobby *l);
    void startMatch(Lobby *l);
    void dropPath(Lobby *l);
    // watchoffers.cpp
    // Offers a lobby match that goes to every online spectator (watchers and the line).
    void offerToSpectators(Lobby *l, const QString &matchId);
    // A spectator who joins or comes back while the lobby's match is on gets it from its start.
    void offerTo(Lobby *l, int accountId);

    Server *m_server;
    QHash<QString, Lobby *> m_lobbies;
    QHash<int, QString> m_lobbyOf; // account -> lobby
    // Wrong passwords per account and lobby ("account:code"), counted whatever the throttle says:
    // four digits would fall in seconds otherwise.
    QHash<QString, QList<qint64>> m_wrongPasswords;
    bool m_capLogged = false;      // the lobby cap was reached and logged, since the last lobby made
};
