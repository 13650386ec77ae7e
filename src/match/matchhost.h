#pragma once
// What the objects hung off the match controller may ask of it. The controller owns the phase, the
// match in hand and the signals; the series, the watch, the search, the kept result, reports, code
// preparation and the local test reach it only through this, never its members.

#include "match/matchcontroller.h"

class MatchHost {
public:
    virtual ~MatchHost() = default;

    // The phase and the controller's waits.
    virtual MatchController::Phase phase() const = 0;
    virtual QString phaseText() const = 0;
    virtual void setPhase(MatchController::Phase phase, const QString &text) = 0;
    virtual const MatchController::Timing &timing() const = 0;
    virtual void log(const QString &text) = 0;

    // The match in hand, replaced whole, and its ends.
    virtual MatchState &match() = 0;
    virtual void replaceMatch() = 0;
    virtual void matchOver(const QString &endText = QString()) = 0;
    // The game was parked and plays its ending; `text` is the phase text until it is back.
    virtual void finishInGame(const QString &text) = 0;
    virtual void reportResult(const QJsonObject &result) = 0;
    virtual void tryHoldPoint() = 0;
    virtual void handOverFeed() = 0;
    virtual QString opponentName() const = 0;    // "opponent" when unknown
    virtual QString opponentRawName() const = 0; // empty when unknown
    virtual bool tunnelled() const = 0;          // a tunnel bridge carries the match
    virtual QString lastPath() const = 0;

    // Watching, for the series' rules about leaving a lobby.
    virtual bool watching() const = 0;
    virtual bool lobbyMatchesToWatch() const = 0;
    virtual void stopWatchingAll() = 0;

    // The game.
    virtual GameProcess *game() const = 0;
    virtual bool gameCheck(const QString &gameId, QString *reason) const = 0;
    virtual bool isInOnlineMenu() const = 0;
    virtual void forgetPlayerGame() = 0;
    virtual void closeMatchGame(const QString &reason) = 0;
    // Back to the online menu (the series' rule, with its park check).
    virtual void park() = 0;
    virtual void watchGame(GameProcess *game, const QString &label) = 0;
    virtual bool prepCheck(const QString &gameId, QString *reason) const = 0;
    virtual void gameStatusTextChanged() = 0;

    // The server and the game port.
    virtual ServerClient *server() const = 0;
    virtual int serverRtt() const = 0;      // UDP when known, else the connection's
    virtual int udpRoundTripMs() const = 0; // -1 before the server answered on UDP
    virtual bool bindGamePort(QString *error = nullptr) = 0;
    virtual void sendHello(const QString &matchId, int timeoutMs) = 0;
    virtual void stopRendezvous() = 0;
};
