#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

class Server;
class Connection;
struct Player;

// The spectator feeds of lobby matches: one player's game feed per match, kept in memory and
// passed on to the match's watchers, each at its own pace.
class FeedRelay : public QObject {
    Q_OBJECT
public:
    explicit FeedRelay(Server *server);
    ~FeedRelay() override;

    // A lobby match went: feeder is the player asked for the feed, offer the "spectate" message.
    void open(const QString &matchId, int feeder, const QJsonObject &offer);
    // The match is going and its result is not decided yet.
    bool isRunning(const QString &matchId) const;
    // Offers a running match to a watcher and relays the feed from its start; the offer says so
    // ("from": the feed offset the relay starts at), so a watcher back from a dropped link knows
    // which bytes it has already.
    void watch(const QString &matchId, int accountId);
    // The member left the lobby or went offline: no more feed for them, wherever they watched.
    void stopWatching(int accountId);
    // The match's result is decided or it is called off: "spectate_end" to its watchers. The feed
    // is still taken for a while, so the last flush of the players' link arrives.
    void end(const QString &matchId, const QString &status, int winner);
    void handleFeed(Player *p, const QJsonObject &msg);
    // Counts for the console.
    QJsonObject statsObject() const;

private:
    struct Watcher {
        int accountId = -1;
        QPointer<Connection> conn;
        qsizetype cursor = 0; // feed bytes handed to the connection
        qsizetype mark = 0;   // the feed held when the watch began: catching up is not lagging
        QMetaObject::Connection wrote;
    };
    struct Feed {
        QString match;
        int feeder = -1;
        QJsonObject offer;
        QByteArray data;
        QList<Watcher> watchers;
        bool ended = false, full = false;
        qint64 refused = 0;
    };

    void refuse(Feed *f, const QString &why, const QString &who);
    // Writes what the watcher's connection takes now; cuts a watcher that falls too far behind.
    void pump(Feed *f, int accountId);
    void pumpAll(Feed *f);
    void dropWatcher(Feed *f, int accountId);
    void free(const QString &matchId);

    Server *m_server;
    QHash<QString, Feed *> m_feeds;
    qint64 m_held = 0; // feed bytes kept by all feeds
    qint64 m_accepted = 0, m_bytes = 0, m_refused = 0, m_dropped = 0, m_relayed = 0, m_lagged = 0;
};
