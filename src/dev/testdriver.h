#pragma once
// Carries out the development options of the command line so that launchers sign in, start their
// games, search, accept, play series and lobby matches, rate, leave and drop without anybody at the
// keyboard. It acts as a player would: request lines to the menu bridge (as the game's online menu
// writes them), the PLAY button's game start, and the server link's own sign-in. Only the
// rematch choice, "lobby_rate" and the test drop bypass the bridge. Every step is one "cli: " line
// in the launcher log. With none of its options given it only watches.

#include <QJsonObject>
#include <QObject>
#include <QString>

#include "app/launchoptions.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"

class MenuBridge;
class QTimer;

class TestDriver : public QObject {
    Q_OBJECT
public:
    TestDriver(const LaunchOptions &options, ServerClient *server, MatchController *match, MenuBridge *bridge,
               QObject *parent = nullptr);

    // Logs "ask %1" and hands the line to the bridge, as if the game's menu had written it.
    void ask(const QString &line);
    // One "cli: " line in the launcher log.
    static void logCli(const QString &text);

    // The id of the sign-in request awaiting its answer (-1: none); read by tests.
    int pendingLoginId() const { return loginRequestId; }

private:
    void startGame();
    void signIn();
    void onState(ServerClient::State state);
    void onMessage(const QJsonObject &msg);
    bool takeLoginAnswer(const QJsonObject &msg);
    void tryStartFlow();
    void onMatchFound(const QJsonObject &found);
    void onSeriesChanged(const QJsonObject &series);
    void onPhase(MatchController::Phase phase);
    void startLobbyFlow();
    void lobbySearchTick();
    void joinByCode(const QString &code);
    void onLobbies(const QJsonObject &msg);
    void lobbySteps(const QJsonObject &msg);
    QString password() const;
    bool watchMode() const { return options.lobby == QLatin1String("watch"); }
    QString lobbyName() const;
    QString lobbyMode() const;

    LaunchOptions options;
    ServerClient *server;
    MatchController *match;
    MenuBridge *bridge;

    int loginRequestId = -1;
    bool loginFallbackUsed = false;
    bool flowStarted = false;
    bool playStarted = false;
    int rematchCount = 0;
    bool lobbyFlowStarted = false;
    bool lobbyFound = false;
    bool inLobbyMatch = false;
    bool leftLobby = false;
    bool ownLobbyMade = false;
    bool codeWritten = false;
    int lobbyMatchesPlayed = 0;
    int lastReadyCount = -1;
    QTimer *lobbySearchTimer = nullptr;
    QJsonObject lastLobbyMessage;
    QString lastRatedMatch;
    bool dropScheduled = false;
    // The series id and "played" count of the last rematch choice: the server echoes each
    // readiness to both players, so one pause brings more than one "between" message.
    QString lastRematchKey;
};
