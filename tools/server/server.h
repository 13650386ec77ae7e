#pragma once

#include "db.h"
#include "options.h"
#include "players.h"
#include "ratelimit.h"
#include "throttle.h"

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QSslCertificate>
#include <QSslKey>

class KdfPool;
class Listener;
class QTcpSocket;
class MatchHub;
class LobbyHub;
class UdpHub;
class F3Inbox;
class FeedRelay;

class Server : public QObject {
    Q_OBJECT
public:
    static constexpr const char *Version = "0.1.8";
    static constexpr int HelloTimeoutMs = 30000;
    static constexpr int MaxHashing = 32;          // password hashes under way at once
    static constexpr int MaxHashingPerAddress = 4; // ... for one address
    static constexpr int MaxText = 2000;           // message of the day, notices

    explicit Server(const ServerOptions &options, QObject *parent = nullptr);
    ~Server() override;

    // Opens the database, the certificate and both ports; prints the machine-readable lines.
    bool start(QString *error);
    // Ends every connection and closes the database.
    void shutdown();

    const ServerOptions &options() const { return m_options; }
    Db &db() { return m_db; }
    MatchHub *hub() const { return m_hub; }
    LobbyHub *lobbies() const { return m_lobbies; }
    FeedRelay *feeds() const { return m_feeds; }
    Throttle &throttle() { return m_throttle; }
    UdpHub *udp() const { return m_udp; }
    qint64 nowMs() const { return m_clock.elapsed(); }
    quint16 tcpPort() const;
    QString fingerprint() const { return m_fingerprint; }

    Connection *connectionOf(int accountId) const;
    Player *player(int accountId) const { return m_players.value(accountId); }
    Player *playerByUdpToken(const QString &token) const;
    int onlineCount() const;

    // admin.cpp / queries.cpp
    void broadcastNotice(const QString &text, const QString &level);
    bool reloadUpdateOffer();
    QJsonObject updateOffer() const { return m_updateOffer; }

private:
    void onNewConnection(QTcpSocket *socket);
    void onMessage(Connection *c, const QJsonObject &msg);
    void onClosed(Connection *c);
    // Drops the records of players who are gone and other leftovers (every --sweep-interval).
    void sweep();
    // session.cpp
    void handleHello(Connection *c, const QJsonObject &msg);
    // accounts.cpp
    void handleRegister(Connection *c, const QJsonObject &msg);
    void handleLogin(Connection *c, const QJsonObject &msg);
    void handleAuth(Connection *c, const QJsonObject &msg);
    void handleLogout(Connection *c, const QJsonObject &msg);
    void signIn(Connection *c, const QJsonObject &request, int accountId, const QString &token);
    void signOut(Connection *c);
    // A slot for one password hash, or a "slow_down" answer; the client's later requests wait.
    bool takeHashSlot(Connection *c, const QJsonObject &msg);
    void giveHashSlot(const QString &address);
    // Answers a request the client sends too often: "error" with code "slow_down", logged once
    // per burst.
    void slowDown(Connection *c, const QJsonObject &msg, const QString &what);
    QJsonObject profileOf(int accountId);
    // queries.cpp
    void handleProfile(Connection *c, const QJsonObject &msg);
    void handleLeaderboard(Connection *c, const QJsonObject &msg);
    void handleOnline(Connection *c, const QJsonObject &msg);
    void handleReport(Connection *c, const QJsonObject &msg);
    QJsonObject onlineObject() const;
    // admin.cpp
    void startConsole();
    void consoleLine(const QString &line);
    void setRankedEloFromConsole(const QString &args);

    ServerOptions m_options;
    Db m_db;
    Throttle m_throttle;
    KdfPool *m_kdf = nullptr;
    QHash<QString, int> m_hashing; // password hashes under way by address
    QElapsedTimer m_clock;
    Listener *m_tcp = nullptr;
    UdpHub *m_udp = nullptr;
    MatchHub *m_hub = nullptr;
    LobbyHub *m_lobbies = nullptr;
    FeedRelay *m_feeds = nullptr;
    F3Inbox *m_f3 = nullptr;
    QSslCertificate m_cert;
    QSslKey m_key;
    QString m_fingerprint;
    quint64 m_nextSerial = 1;
    QSet<Connection *> m_connections;
    QHash<QString, int> m_perAddress;    // open connections by address key
    KeyedBucket m_newConnections;        // new connections by address key
    qint64 m_backlogTotal = 0;           // bytes waiting to be written, all connections together
    QHash<QString, int> m_refusalLogged; // address -> its count when a refusal was last logged
    QHash<int, Player *> m_players;
    QSet<int> m_reportsOverBudget; // accounts whose dropped reports were logged already
    QHash<QString, int> m_udpTokens;
    QJsonObject m_updateOffer;
    QFileSystemWatcher m_updateWatcher;
    QByteArray m_consoleBuffer;
    bool m_shutDown = false;
};

// Logs one line on standard error with the server's prefix.
void serverLog(const QString &text);
