#pragma once
// The pure rules of series, rematches and lobby matches: who chooses at the result screen, whether
// the players may choose at all, whether a match waits at its result screen, the series keys of
// the game's lines, when an opponent has left the lobby, and the readiness restored after a
// dropped connection. Free functions, so the controller and the tests share one definition.

#include <QJsonObject>
#include <QString>

namespace seriesrules {

// The series keys of the start and rematch lines, each with its leading blank.
QString seriesKeys(const QJsonObject &go);

// The side that chooses at the result screen by the server's result: side 1 after a draw, else the
// loser; 0 when the result names no winner.
int chooserOf(const QJsonObject &matchResult);

// Whether the path of the match lets the games talk at the result screen: a direct path ("lan" or
// "public") without a tunnel bridge, or the relay or tunnel when the server carries choices there.
bool pathAllowsChoice(const QString &lastPath, bool tunnelBridge, bool relayChoiceFeature);

// Whether the games wait at the result screen after a match_result.
struct ResultScreenFacts {
    QString status;     // the match_result's "status"
    bool lobby = false; // the match belongs to a lobby
    bool playersChoose = false;
    bool pathAllows = false;
    bool gameRunning = false;
    QString gameWord;      // the game's last status word
    bool watching = false; // a lobby match is being watched
};
bool entersResultScreen(const ResultScreenFacts &facts);

// Whether a "lobby" message shows that the opponent of the match in hand left that lobby (or only
// watches it now).
bool opponentLeftLobby(const QJsonObject &lobbyMsg, const QJsonObject &found, const QString &opponent);

// The readiness for the next match of a series, after a "series" message.
struct LastReady {
    QString choice;
    QString series;
    int played = -1;
};
struct Restore {
    bool pending = false; // set the pending ready
    QString choice;
    bool again = false; // the same readiness as before the connection dropped
};
Restore restoreReady(const QJsonObject &series, bool readyPending, const LastReady &last,
                     bool choiceExpected);

} // namespace seriesrules
