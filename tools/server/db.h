#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>

struct AccountRow {
    int id = -1;
    QString name;
    QByteArray salt;
    QByteArray hash;
    int iterations = 0;
};

struct StatsRow {
    int elo = 1500;
    int setWins = 0;
    int setLosses = 0;
    int casualWins = 0;
    int casualLosses = 0;
    int draws = 0;
};

// The Elo change of one player at the end of a ranked set.
struct EloChange {
    int before = 0;
    int after = 0;
    QString titleBefore;
    QString titleAfter;
};

// The server's SQLite database. Every write is committed when the call returns, so a stop at any
// moment loses nothing that was answered.
class Db {
public:
    Db();
    ~Db();
    bool open(const QString &path, QString *error);
    void close();

    // -1 when the name is taken (names are unique regardless of case).
    int createAccount(const QString &name, const QByteArray &salt, const QByteArray &hash, int iterations);
    bool findAccount(const QString &name, AccountRow &out);
    QString accountName(int id);
    void setPasswordHash(int id, const QByteArray &salt, const QByteArray &hash, int iterations);

    // Sessions are kept by a hash of their token, never the token itself, with the time of their
    // last use: one unused for longer than maxAgeS has ended.
    void addSession(const QString &token, int accountId);
    int accountForToken(const QString &token, qint64 maxAgeS);
    void removeSession(const QString &token);
    // Deletes the sessions unused for longer than maxAgeS; how many went.
    int pruneSessions(qint64 maxAgeS);

    StatsRow stats(int accountId, const QString &game, const QString &mode);
    // game -> mode -> {"ranked": {...}, "casual": {...}}
    QJsonObject statsObject(int accountId);
    void addCasualResult(int winnerId, int loserId, const QString &game, const QString &mode, bool draw);
    // Applies a finished ranked set in one transaction and fills both players' changes.
    bool applySet(int winnerId, int loserId, const QString &game, const QString &mode, EloChange &winner,
                  EloChange &loser);
    // Sets a player's ranked Elo and counts one finished set (a win), so the rank title shows:
    // the operator's way to show a ranked account without playing. False when nothing was stored.
    bool setRankedElo(int accountId, const QString &game, const QString &mode, int value);
    QJsonArray leaderboard(const QString &game, const QString &mode, int limit);

    void recordMatch(const QJsonObject &match);
    void recordSeries(const QJsonObject &series);
    // King of the Hill ratings: one per rater and match; false when it could not be stored.
    bool addRating(const QString &match, const QString &lobby, int winnerId, int raterId, int score);
    // How many ratings the player's wins got, and their average (0 without any).
    void ratingOf(int accountId, int *count, double *average);
    void storeReport(int accountId, const QString &type, const QJsonObject &report);
    int countReports(const QString &type);
    // The "bytes" of one account's stored reports of that type, added up.
    qint64 reportBytes(int accountId, const QString &type);
    // Crash, desync and pick reports of one account stored since `since` (seconds since the epoch).
    int countAccountReports(int accountId, qint64 since);

private:
    bool exec(const QString &sql);
    QSqlDatabase m_db;
    QString m_name;
};
