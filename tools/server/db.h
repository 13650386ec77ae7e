#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <climits>
#include <functional>

class QSqlQuery;

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

// One casual match that counts: a win and a loss, or a draw for both.
struct CasualCount {
    int winnerId = -1, loserId = -1;
    QString game, mode;
    bool draw = false;
};

// The server's SQLite database. Every write is committed when the call returns, so a stop at any
// moment loses nothing that was answered; every write says whether it was stored, and a failure
// is logged with SQLite's own text.
class Db {
public:
    static constexpr int SchemaVersion = 2;
    static constexpr int BusyTimeoutMs = 2000;

    Db();
    ~Db();
    bool open(const QString &path, QString *error);
    void close();

    // -1 when the name is taken (names are unique regardless of case), -2 when the write failed.
    int createAccount(const QString &name, const QByteArray &salt, const QByteArray &hash, int iterations);
    bool findAccount(const QString &name, AccountRow &out);
    QString accountName(int id);
    bool setPasswordHash(int id, const QByteArray &salt, const QByteArray &hash, int iterations);

    // Sessions are kept by a hash of their token, never the token itself, with the time of their
    // last use: one unused for longer than maxAgeS has ended.
    bool addSession(const QString &token, int accountId);
    int accountForToken(const QString &token, qint64 maxAgeS);
    bool removeSession(const QString &token);
    // Deletes the sessions unused for longer than maxAgeS; how many went.
    int pruneSessions(qint64 maxAgeS);

    StatsRow stats(int accountId, const QString &game, const QString &mode);
    // game -> mode -> {"ranked": {...}, "casual": {...}}
    QJsonObject statsObject(int accountId);
    // Applies a finished ranked set and stores its record (made by `record` once the changes are
    // known) in one transaction, and fills both players' changes.
    bool applySet(int winnerId, int loserId, const QString &game, const QString &mode, EloChange &winner,
                  EloChange &loser, const std::function<QJsonObject()> &record);
    // Sets a player's ranked Elo and counts one finished set (a win), so the rank title shows:
    // the operator's way to show a ranked account without playing. False when nothing was stored.
    bool setRankedElo(int accountId, const QString &game, const QString &mode, int value);
    QJsonArray leaderboard(const QString &game, const QString &mode, int limit);

    // A match's record and, for a casual match that counts, its stats, in one transaction.
    bool recordMatch(const QJsonObject &match, const CasualCount *casual);
    bool recordSeries(const QJsonObject &series);
    // Whether a match ("matches") or series ("series") id is in use already.
    bool recordTaken(const char *table, const QString &id);
    // King of the Hill ratings: one per rater and match; false when it could not be stored.
    bool addRating(const QString &match, const QString &lobby, int winnerId, int raterId, int score);
    // How many ratings the player's wins got, and their average (0 without any).
    void ratingOf(int accountId, int *count, double *average);
    bool storeReport(int accountId, const QString &type, const QJsonObject &report);
    int countReports(const QString &type);
    // The "bytes" of one account's stored reports of that type, added up.
    qint64 reportBytes(int accountId, const QString &type);
    struct StoredReport {
        qint64 id = 0;
        int accountId = -1;
        QString folder;
    };
    // Reports of that type with a "folder", stored before `before` (seconds since the epoch).
    QList<StoredReport> storedReports(const QString &type, qint64 before = LLONG_MAX);
    bool removeReport(qint64 id);
    // Crash, desync and pick reports of one account stored since `since` (seconds since the epoch).
    int countAccountReports(int accountId, qint64 since);

private:
    bool exec(const QString &sql);
    // Runs a prepared query (or sql); a failure is logged with SQLite's text.
    bool run(QSqlQuery &q, const QString &sql = {});
    bool begin();
    // A COMMIT that fails is rolled back, never left open to swallow later writes.
    bool commit();
    void rollback();
    bool migrate(int from, QString *error);
    bool hashPlainSessions();
    bool insertRecord(const char *table, const QString &id, const QJsonObject &data);
    bool countCasual(const CasualCount &c);
    QSqlDatabase m_db;
    QString m_name;
};
