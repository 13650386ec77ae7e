#pragma once
// The bridge between the launcher and the game's own online menu. The game writes one request at a
// time into "ask.txt"; the launcher takes it and answers only through "ui.json", the whole state
// the menu may show, rewritten every second and shortly after every change. Split by concern:
// bridgefiles.cpp (the served game, the request poll, the document write, messages),
// bridgedocument.cpp (the state document), bridgeupdates.cpp (how the server's and the match
// controller's events change the state), bridgerequests.cpp (the game's requests, the server's
// refusals of them and the requests the bridge makes by itself); the pure rules live in bridgerules.h.

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "match/matchcontroller.h"
#include "net/serverclient.h"

class GameProcess;

class MenuBridge : public QObject {
    Q_OBJECT
public:
    // The bridge's clocks. The launcher keeps the defaults; tests shorten them.
    struct Timing {
        int askMs = 100;              // request poll
        int writeMs = 1000;           // document rewrite
        int soonMs = 50;              // rewrite after a change (bursts merge)
        int lobbyListMs = 4000;       // lobby list refresh while the menu shows it
        int spectatorGraceMs = 70000; // a spectator keeps watching after the link dropped
        int noticeMs = 120000;        // a notice stays in the document this long
        int finishedSeriesMs = 30000; // a finished set or series stays on screen this long
        int lobbyListFreshMs = 60000; // the list is kept fresh this long after the menu asked
    };

    MenuBridge(ServerClient *server, MatchController *match, QObject *parent = nullptr);

    void setTiming(const Timing &timing);
    Timing timing() const { return m_timing; }

    // The whole state document; also what the Play page shows.
    QJsonObject composeState() const;
    // The player's own versus statistics ({} when the server sent none).
    QJsonObject ownStats() const;
    // The one way to tell the game something: a new numbered message (empty text: nothing).
    void setMessage(const QString &text, bool isError);
    void setUpdateOffer(const QString &version, const QString &text);
    // The character sent with searches and lobby requests (the test driver's --character).
    void setCharacter(const QString &character) { m_character = character; }
    QString character() const { return m_character; }

    // The session folder of the game served now, or empty when no game is served.
    QString bridgeFolder() const;
    // One request line of the game, carried out (or refused).
    void handleRequest(const QString &line);

    // One turn of each timer, for callers that cannot wait for it.
    void pollRequest();
    void writeState();

signals:
    void changed();
    void lobbiesChanged(const QJsonArray &lobbies);

private:
    // Files and messages (bridgefiles.cpp)
    GameProcess *servedGame() const;
    void scheduleWrite();
    void refuse(const QString &verb, const QString &text);

    // The document (bridgedocument.cpp)
    QJsonObject accountSection() const;
    QJsonObject serverSection() const;
    QJsonObject queueSection() const;
    QJsonObject seriesSection() const;
    QJsonValue lobbySection() const;
    bool lobbyHeld() const { return !m_lobby.isEmpty(); }
    QString me() const;

    // Updates (bridgeupdates.cpp)
    void onServerMessage(const QJsonObject &msg);
    void countWin(const QString &name);
    void onServerState(ServerClient::State state);
    void onLobby(const QJsonObject &lobby);
    void onLobbyLeft(const QJsonObject &msg);
    void onMatchFound(const QJsonObject &found);
    void onMatchCancelled(const QString &reason, bool requeued);
    void onMatchFinished(const QJsonObject &result);
    void onSeriesChanged(const QJsonObject &series);
    void onSpectatorGraceOver();
    void refreshLobbyList();
    void clearLobby();

    // Requests (bridgerequests.cpp)
    void requestQueue(const QHash<QString, QString> &args);
    void requestCancel();
    void requestLobbies();
    void requestLobbyCreate(const QHash<QString, QString> &args);
    void requestLobbyJoin(const QHash<QString, QString> &args);
    void requestLobbyReady(const QHash<QString, QString> &args);
    void sendLobbyRequest(const QJsonObject &msg);
    void sendLobbyList();
    void addServerRtt(QJsonObject &msg) const;
    bool signedIn() const { return m_server->state() == ServerClient::LoggedIn; }
    void onServerError(const QJsonObject &msg);
    void onGameStatus(const QString &text);
    void onPlayerGame(bool running);

    ServerClient *m_server;
    MatchController *m_match;
    Timing m_timing;

    QTimer m_askTimer;
    QTimer m_writeTimer;
    QTimer m_soonTimer;
    QTimer m_lobbyListTimer;
    QTimer m_spectatorGraceTimer;

    QJsonObject m_onlineInfo;
    QString m_noticeText;
    QElapsedTimer m_noticeClock;
    QJsonObject m_stats;
    QString m_accountError;
    bool m_accepted = false;
    bool m_connectingShown = false;
    QElapsedTimer m_foundClock;
    int m_acceptSeconds = 15;
    bool m_awayFromMenu = false;
    QJsonObject m_series;
    QJsonObject m_lastSeries;
    QElapsedTimer m_seriesOverClock;
    QJsonArray m_lobbies;
    qint64 m_lobbiesAt = 0;
    QElapsedTimer m_lobbiesAskedClock;
    QJsonObject m_lobby;
    QHash<QString, int> m_winsByName;
    QHash<QString, QStringList> m_spectateNames; // match -> its two names, for the wins
    static constexpr qsizetype MaxSpectateNames = 8;
    QString m_lobbyPassword;
    QString m_createdPassword;
    QString m_versionWarning;
    bool m_versionBlocks = false;
    QJsonObject m_pendingLobbyRequest;
    bool m_retriedBusy = false;
    bool m_leftForRetry = false;
    bool m_spectatorInLobby = false;
    QJsonArray m_leaderboardRows;
    qint64 m_leaderboardAt = 0;
    QJsonObject m_message{{QStringLiteral("id"), 0},
                          {QStringLiteral("kind"), QStringLiteral("info")},
                          {QStringLiteral("text"), QString()}};
    QJsonObject m_update{{QStringLiteral("version"), QString()}, {QStringLiteral("text"), QString()}};
    QString m_character;
};
