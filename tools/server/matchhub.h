#pragma once

#include "matchrules.h"
#include "players.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>
#include <memory>

class Server;

// One player's search, as sent in "queue_join".
struct Search {
    int accountId = -1;
    QString game, mode, region, character, link;
    bool ranked = false, strict = false, relay = false, hideAlways = false, delayAuto = false;
    int maxPing = 0, serverRtt = -1, delay = 1;
    int elo = 0;    // ranked: the player's Elo in this game and mode when the search began
    QString bucket; // game, mode and ranked in one key: only searches of one bucket can pair
    qint64 joinedMs = 0;
};

enum class Leg { Direct, Relay, Tunnel };

// The key of a pair of accounts, the same whichever comes first.
inline QString pairKey(int a, int b)
{
    return QStringLiteral("%1:%2").arg(qMin(a, b)).arg(qMax(a, b));
}

// The path two games used, kept so the next match between them can start in place.
struct KeptPath {
    Leg leg[2] = {Leg::Direct, Leg::Direct};
    QString remote[2];
    int rtt = -1;
};

// One match between two players; index 0 is side 1.
struct Match {
    enum class Stage { Accepting, WaitingUdp, Connecting, Playing, Done };
    // The path step the current "match_peer" round tries.
    enum class Step { Direct, Relay, RelayThenDirect, BackToRelay, Tunnel };

    QString id, key, game, mode, seriesId;
    QString lobbyId, lobbyKind; // a lobby match: its lobby and the lobby's kind
    bool ranked = false, fromSearch = false, needAccept = false, inPlace = false;
    bool resultChoice = true, counts = true, went = false;
    int rounds = 0; // 0: the server's --rounds
    KeptPath kept;  // the path of an in-place match
    int acc[2] = {-1, -1};
    Search req[2];
    QString chars[2] = {"-", "-"};
    int keep = 0;
    Stage stage = Stage::Accepting;
    bool accepted[2] = {false, false};
    bool wantTunnel[2] = {false, false};
    bool inMatch[2] = {false, false};
    // Path negotiation.
    Step step = Step::Direct;
    Leg leg[2] = {Leg::Direct, Leg::Direct};
    QString relayWhy;
    int round = 0, relayRtt = -1, pingLimit = 0;
    bool haveReport[2] = {false, false};
    QJsonObject report[2];
    // Start and result.
    QString remote[2];
    int rtt = -1, delay = 1;
    bool delayAuto = false;
    qint64 seed = 0;
    bool haveResult[2] = {false, false};
    QJsonObject result[2];
    int drops[2] = {0, 0}; // connection drops while playing: each starts a grace of its own
    QTimer timer;          // the deadline of the current stage
};

// A ranked set or casual series between two players; index 0 is side 1 in all its matches.
struct Series {
    enum class State { Playing, Between, Over };
    QString id, game, mode;
    bool ranked = false;
    int need = 2;
    int acc[2] = {-1, -1};
    Search req[2];
    int wins[2] = {0, 0};
    int played = 0;
    State state = State::Playing;
    bool ready[2] = {false, false};
    bool inPlace[2] = {false, false};
    QString choice[2];
    int lastWinner = 0; // side of the last match's winner, 0 for none
    QString lastChars[2] = {"-", "-"};
    Leg leg[2] = {Leg::Direct, Leg::Direct};
    QString remote[2];
    int rtt = -1, delay = 1;
    bool delayAuto = false;
    QString currentMatch;
    qint64 deadlineMs = 0;
    qint64 betweenEndsMs = 0; // the deadline before anybody dropped
    QTimer timer;
    // Filled when the series ends.
    QString outcome, winnerName, leftName;
    QJsonObject elo;
};

// Search, matches, paths, results and series.
class MatchHub : public QObject {
    Q_OBJECT
public:
    explicit MatchHub(Server *server);
    ~MatchHub() override;

    // Handles a signed-in player's match message; false when the type is not one of ours.
    bool handle(Player *p, const QJsonObject &msg);
    void onUdpHello(Player *p);
    // The player's connection ended (dropped, logged out or replaced).
    void playerGone(Player *p);
    // The player signed in again: tell them what is still going on.
    void playerBack(Player *p);
    void handleTunnel(Player *p, const QJsonObject &msg);

    // Lobbies: whether a player is in a match (or a series match), and taking them out of a
    // search or a series that waits between two matches.
    bool busyForLobby(int accountId) const;
    void leaveForLobby(int accountId);
    // Starts a lobby match: match_found (no accept) and then the path, or at once in place.
    QString startLobbyMatch(const QString &lobbyId, const QString &kind, const Search req[2],
                            const QString chars[2], int rounds, bool resultChoice, bool counts, bool inPlace,
                            const KeptPath &kept);
    // A player left the lobby whose match is still being set up: it is called off.
    void lobbyMatchLeft(const QString &matchId, int accountId);
    void forgetPath(int a, int b);

    static constexpr int MaxGamesListed = 32; // games in "online"

    // Whether the player is in a search, a match or a series: their record must stay.
    bool holds(int accountId) const;
    // Forgets what pairs of players who are gone left behind (measured pings, expired separations).
    void sweep();

    int searchingCount() const { return int(m_queue.size()); }
    // How long the last pairing pass took, and the longest so far (microseconds).
    qint64 lastPassUs() const { return m_lastPassUs; }
    qint64 longestPassUs() const { return m_longestPassUs; }
    int playingCount() const;
    QJsonObject gamesObject() const;

private:
    // queue.cpp
    void queueJoin(Player *p, const QJsonObject &msg);
    void queueLeave(Player *p, const QJsonObject &msg);
    void removeFromQueue(int accountId);
    void requeue(const Search &s);
    // Asks for a pairing pass on the next turn of the event loop: however many searches come in
    // meanwhile, one pass.
    void schedulePass();
    void pairPass();
    bool compatible(const Search &a, const Search &b, qint64 now, int *estimate) const;
    int effectiveLimit(const Search &s, qint64 now) const;
    QJsonObject pingWiden() const;
    // accept.cpp
    Match *newMatch(const Search &a, const Search &b);
    void registerMatch(Match *m);
    void sendFound(Match *m);
    void matchAccept(Player *p, const QJsonObject &msg);
    void matchDecline(Player *p, const QJsonObject &msg);
    void acceptTimedOut(const QString &id);
    void cancelMatch(Match *m, const QString &reason, const bool requeue[2], int leftSide = 0);
    void finishMatch(Match *m);
    Match *matchOf(Player *p, const QJsonObject &msg, bool reply = true);
    QJsonObject opponentObject(int accountId, const Match *m) const;
    // path.cpp
    void maybeStartPath(Match *m);
    void udpWaitOver(const QString &id);
    void startRound(Match *m, Match::Step step);
    void pingReport(Player *p, const QJsonObject &msg);
    void udpTunnel(Player *p, const QJsonObject &msg);
    void decidePath(Match *m);
    void pathTimedOut(const QString &id);
    void go(Match *m);
    void setRelayLink(Match *m);
    // result.cpp
    void matchState(Player *p, const QJsonObject &msg);
    void result(Player *p, const QJsonObject &msg);
    void resultWaitOver(const QString &id);
    void decideResult(Match *m);
    // series.cpp
    Series *newSeries(Match *m);
    void seriesAfterMatch(Series *s, const MatchVerdict &verdict);
    void seriesReady(Player *p, const QJsonObject &msg);
    void seriesDeadline(const QString &id);
    void seriesLeave(Series *s, int side);
    // The next match of a series only starts while both players are there.
    bool bothOnline(const Series *s) const;
    void endSeries(Series *s, const QString &outcome, int winnerSide, int leftSide);
    void startNextMatch(Series *s);
    void sendSeries(Series *s);
    QJsonObject seriesObject(const Series *s, int side) const;

    void send(int accountId, const QJsonObject &msg);
    // The verdict of a player's last match, said again when the player signs in again soon after
    // having missed it: offline when it was sent, or the connection ended right after (it may
    // have been lost on the way). A series that ended meanwhile the launcher finds out by itself.
    void rememberForReturn(int accountId, const QJsonObject &msg);
    void sayAgainOnReturn(int accountId);
    Player *player(int accountId) const;
    // The player's name, empty when the server holds no record of them.
    QString nameOf(int accountId) const;
    int sideOf(const Match *m, int accountId) const;
    QString newId(char prefix) const;

    Server *m_server;
    QList<Search> m_queue;
    QHash<QString, Match *> m_matches;
    QHash<QString, Series *> m_series;
    QHash<int, QString> m_matchOf;      // account -> match in hand
    QHash<int, QString> m_seriesOf;     // account -> series in hand
    QHash<QString, int> m_measured;     // "a:b" account pair -> last measured rtt
    QHash<QString, qint64> m_keepApart; // pair -> time until which it is not paired again
    struct LastWords {
        QJsonObject verdict;
        qint64 atMs = 0;
        bool missed = false;
    };
    QHash<int, LastWords> m_lastWords; // account -> the last verdict sent
    static constexpr qint64 LastWordsMinMs = 60000;
    static constexpr qint64 LostOnTheWayMs = 5000; // a connection ending this soon after a send
    static constexpr qint64 KeepApartMs = 120000;
    static constexpr qint64 ReturnSlackMs = 10000;
    QTimer m_pairTimer;
    bool m_passPending = false;
    qint64 m_lastPassUs = 0, m_longestPassUs = 0;
};
