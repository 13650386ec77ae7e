#pragma once
// Online play from a search to a result the server acknowledged: the phase machine, the path to
// the opponent, the match's start in the player's game and its result. Split by concern:
// matchphases.cpp (phases, search, match found), matchpath.cpp (peer path, tunnel, input delay),
// matchstart.cpp (start line, hold point, status words), matchresult.cpp (result, end of a match,
// game exits), playergame.cpp (the player's game and the game check), matchshutdown.cpp (the
// local test, code preparation and the controller's shutdown). The series, the watch, the search,
// the kept result, reports, the local test and code preparation are objects of their own that
// reach the controller only through its host interface (matchhost.h, matchhost.cpp).

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

#include "match/matchstate.h"
#include "net/serverclient.h"

class CodePrep;
class GameProcess;
class LocalTest;
class MatchHost;
class MatchReports;
class MatchSeries;
class MatchWatch;
class ResultKeeper;
class SearchSession;
class TunnelBridge;
class UdpRendezvous;

class MatchController : public QObject {
    Q_OBJECT

public:
    enum Phase {
        Idle = 0,
        Searching = 1,
        Found = 2,
        Connecting = 3,
        Starting = 4,
        Playing = 5,
        Reporting = 6,
        Finishing = 7,
        Solo = 8,
        LocalTest = 9,
        Watching = 10,
        AtResult = 11,
    };
    Q_ENUM(Phase)

    struct SearchRequest {
        QString game;
        QString mode;
        QString region;
        QString character;
        bool ranked = false;
        bool strict = false;
        int maxPing = 0;
        int delay = -1; // 0..4 frames, or -1 for automatic
    };

    // The controller's waits. The launcher keeps the defaults; tests shorten them.
    struct Timing {
        int keepAliveMs = 15000;
        int portRetryMs = 100;
        int portTries = 30;
        int startHoldExtraMs = 120000; // added to the start timeout before the hold point
        int startFixedMs = 120000;     // characters given by the server
        int startPickMs = 300000;      // a player picks in the game
        int ackMs = 10000;
        int endingMs = 45000;
        int resultScreenMs = 8000;  // at the result screen while the server decides the next match
        int resultChooseMs = 75000; // ... while the loser chooses in the game
        int lobbyChoiceMs = 30000;  // ... after a choice in a lobby
        int parkCheckMs = 120000;   // first check that a parked game came back
        int parkCheckEveryMs = 10000;
        int parkAgainMs = 119000;    // parked this long without coming back: park again
        int reconnectCheckMs = 4000; // after a login at the result screen of a series
        int watchNeverMs = 360000;   // a watched match that never comes through
        int watchEarlyMs = 15000;    // a watched match the players ended before it got going
        int desyncWaitMs = 1500;     // the game finishes writing its log before a desync report
    };

    explicit MatchController(ServerClient *server, QObject *parent = nullptr);
    ~MatchController() override;

    void setTiming(const Timing &timing) { m_timing = timing; }
    Timing timing() const { return m_timing; }

    // Search and match found
    bool queue(const SearchRequest &request, QString *reason = nullptr);
    bool choiceExpected() const { return m_match.choiceExpected; }
    void cancel();
    void accept();
    void decline();

    // The player's game
    bool startPlayerGame(QString *reason = nullptr);
    bool usePlayerGame(const QString &gameId, QString *reason = nullptr);
    bool isInOnlineMenu() const;
    GameProcess *gameForMatch(const QJsonObject &msg, QString *reason = nullptr) const;
    QString gameStatusText() const;
    GameProcess *matchGame() const;

    // Reports (matchreports.cpp): the crash watcher for a game the controller runs.
    void watchGame(GameProcess *game, const QString &label);

    // The local test: two instances of the game on this PC (localtest.cpp).
    bool startLocalTest(const QString &gameId, const QString &mode, const QString &p1, const QString &p2,
                        QString *reason = nullptr);
    void stopLocalTest();
    GameProcess *localTestInstance(int n) const;

    // Code preparation (codeprep.cpp).
    bool rebuildCode();
    bool prepCheck(const QString &gameId, QString *reason = nullptr) const;

    // Stops everything the controller runs: hashing threads, preparation, the local test, a
    // search and every game (asked to quit, then killed).
    void shutdown();

    Phase phase() const { return m_phase; }
    QString phaseText() const { return m_phaseText; }
    QJsonObject currentMatch() const { return m_match.found; }
    QJsonObject matchGo() const { return m_match.go; }
    QString lastPath() const { return m_lastVia; }
    bool udpFallback() const { return m_udpFallback; }
    int serverRtt() const;
    bool hasStoredResult() const;
    QString opponentName() const;
    UdpRendezvous *rendezvous() const { return m_rendezvous; }

    // The objects hung off the controller that the menu and the window talk to themselves.
    MatchSeries *seriesFlow() const { return m_seriesFlow; }
    MatchWatch *watchFlow() const { return m_watchFlow; }
    SearchSession *search() const { return m_search; }

    void onServerMessage(const QJsonObject &msg);

signals:
    void phaseChanged(MatchController::Phase phase, const QString &text);
    void matchFound(const QJsonObject &found);
    void matchCancelled(const QString &reason, bool requeued);
    void matchStarted(const QJsonObject &go);
    void matchFinished(const QJsonObject &result);
    void seriesChanged(const QJsonObject &series);
    void gameStatusChanged(const QString &text);
    void logLine(const QString &text);
    void gameShown();
    void codePrepChanged(const QString &text, bool done);
    void playerGameChanged(bool running);
    void notice(const QString &text);

private:
    class Host; // the host interface of the objects hung off the controller (matchhost.cpp)
    std::unique_ptr<MatchHost> makeHost();

    // Phases (matchphases.cpp)
    void setPhase(Phase phase, const QString &text);
    void setPhaseSilently(Phase phase, const QString &text);
    void log(const QString &text);
    bool bindGamePort(QString *error = nullptr);
    void sendHello(const QString &matchId, int timeoutMs);
    void onMatchFound(const QJsonObject &msg);
    void takeMatch(const QJsonObject &msg);
    void whenPortReady(int tries, const std::function<void()> &action);
    void portTry(quint64 serial, int left);
    void replaceMatch(const QJsonObject &found = QJsonObject());
    bool gameHoldsMatch() const;
    void leaveMatchInHand(const QString &why);
    void onMatchCancelled(const QJsonObject &msg);
    void onServerState(ServerClient::State state);
    void onHelloTimedOut();
    void onHelloAcked();
    void gameLeftOnlineMenu();
    QString matchId() const;
    QString opponentRawName() const;

    // Peer path (matchpath.cpp)
    void onMatchPeer(const QJsonObject &msg);
    void onPunchDone(bool ok, int rttMs, const QString &remote, const QString &via);
    void requestTunnel();
    void closeBridge();

    // Start (matchstart.cpp)
    void onMatchGo(const QJsonObject &msg);
    void tryHoldPoint();
    void onGameStatus(const QString &line);
    void onMatchStatus(const QString &line);
    void onChoseStatus(const QString &line);
    void reportPickRefusal(const QString &reason);
    void onStartTimeout();
    int startTimeoutOf(const QJsonObject &go) const;

    // Result and end of a match (matchresult.cpp)
    void reportResult(QJsonObject result);
    void gameEndedDuringMatch();
    void onMatchResult(const QJsonObject &msg);
    void resultUnknownToServer(const QJsonObject &error);
    void matchOver(const QString &endText = QString());
    void finishInGame(const QString &text);
    void leaveFinishing();
    void onGameExited(int exitCode, bool crashed);
    void onLoggedIn();

    // The player's game (playergame.cpp)
    bool gameCheck(const QString &gameId, QString *reason) const;
    void closeMatchGame(const QString &reason);
    void dropMatchGame();

    ServerClient *m_server;
    UdpRendezvous *m_rendezvous;
    TunnelBridge *m_bridge = nullptr;
    Timing m_timing;

    Phase m_phase = Idle;
    QString m_phaseText;
    bool m_udpFallback = false;
    QString m_lastVia; // the path of the last successful punch; a next match in place keeps it

    MatchState m_match; // the match in hand, replaced whole (replaceMatch)
    quint64 m_matchSerial = 0;

    QTimer m_endingTimer;
    std::unique_ptr<MatchHost> m_host; // before the objects that use it
    MatchSeries *m_seriesFlow;
    MatchWatch *m_watchFlow;
    SearchSession *m_search;
    ResultKeeper *m_result;
    MatchReports *m_reports;
    CodePrep *m_codePrep;
    ::LocalTest *m_localTest;

    QPointer<GameProcess> m_game;
    QPointer<GameProcess> m_playerGame;
};
