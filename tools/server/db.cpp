#include "db.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

Db::Db() : m_name(QStringLiteral("orx-server-db")) {}

Db::~Db()
{
    close();
}

bool Db::exec(const QString &sql)
{
    QSqlQuery q(m_db);
    return run(q, sql);
}

bool Db::run(QSqlQuery &q, const QString &sql)
{
    if (sql.isEmpty() ? q.exec() : q.exec(sql))
        return true;
    // SQLite's own words: a full disk, a locked file, a broken constraint.
    qWarning("orx-server: database: %s failed: %s",
             qPrintable((sql.isEmpty() ? q.lastQuery() : sql).left(60)), qPrintable(q.lastError().text()));
    return false;
}

bool Db::begin()
{
    if (m_db.transaction())
        return true;
    qWarning("orx-server: database: BEGIN failed: %s", qPrintable(m_db.lastError().text()));
    return false;
}

bool Db::commit()
{
    if (m_db.commit())
        return true;
    // A COMMIT that fails leaves the transaction open; rolled back so later writes are not held in it.
    qWarning("orx-server: database: COMMIT failed: %s", qPrintable(m_db.lastError().text()));
    rollback();
    return false;
}

void Db::rollback()
{
    if (!m_db.rollback())
        qWarning("orx-server: database: ROLLBACK failed: %s", qPrintable(m_db.lastError().text()));
}

namespace {

// What a session row holds in place of its token: "h:" and the hex SHA-256. The token itself is
// never stored, and the stored form is never taken as a token.
QString storedToken(const QString &token)
{
    return QStringLiteral("h:") +
           QString::fromLatin1(QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

// Version 1: the tables. A database from before versioning has them already and counts as 0.
const QStringList SchemaV1 = {
    "CREATE TABLE IF NOT EXISTS accounts (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE "
    "NOCASE, salt BLOB NOT NULL, hash BLOB NOT NULL, iterations INTEGER NOT NULL, created INTEGER NOT "
    "NULL)",
    "CREATE TABLE IF NOT EXISTS sessions (token TEXT PRIMARY KEY, account_id INTEGER NOT NULL REFERENCES "
    "accounts(id), created INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS stats (account_id INTEGER NOT NULL REFERENCES accounts(id), game TEXT "
    "NOT NULL, mode TEXT NOT NULL, elo INTEGER NOT NULL DEFAULT 1500, set_wins INTEGER NOT NULL DEFAULT 0, "
    "set_losses INTEGER NOT NULL DEFAULT 0, casual_wins INTEGER NOT NULL DEFAULT 0, casual_losses INTEGER "
    "NOT NULL DEFAULT 0, draws INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (account_id, game, mode))",
    "CREATE TABLE IF NOT EXISTS matches (id TEXT PRIMARY KEY, at INTEGER NOT NULL, data TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS series (id TEXT PRIMARY KEY, at INTEGER NOT NULL, data TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS ratings (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, match TEXT NOT "
    "NULL, lobby TEXT NOT NULL, winner_id INTEGER NOT NULL, rater_id INTEGER NOT NULL, score INTEGER NOT "
    "NULL, UNIQUE (match, rater_id))",
    "CREATE TABLE IF NOT EXISTS reports (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, account_id INTEGER, "
    "type TEXT NOT NULL, game TEXT, match TEXT, data TEXT NOT NULL)",
};

} // namespace

bool Db::hashPlainSessions()
{
    // Session rows from before hashing held the token itself: stored hashed from now on, and the
    // stored form is the only one ever looked up.
    QSqlQuery plain(m_db);
    bool ok = run(plain, "SELECT token FROM sessions WHERE token NOT LIKE 'h:%'");
    QStringList tokens;
    while (ok && plain.next())
        tokens << plain.value(0).toString();
    plain.finish();
    for (const QString &t : std::as_const(tokens)) {
        QSqlQuery q(m_db);
        q.prepare("UPDATE OR REPLACE sessions SET token = ? WHERE token = ?");
        q.addBindValue(storedToken(t));
        q.addBindValue(t);
        ok = ok && run(q);
    }
    return ok;
}

bool Db::migrate(int from, QString *error)
{
    // Each step and its new version in one transaction: a stop half-way leaves the old version.
    for (int version = from + 1; version <= SchemaVersion; ++version) {
        if (!begin()) {
            *error = m_db.lastError().text();
            return false;
        }
        bool ok = true;
        if (version == 1) {
            for (const QString &sql : SchemaV1)
                ok = ok && exec(sql);
        } else if (version == 2) {
            ok = hashPlainSessions();
        }
        QSqlQuery v(m_db);
        v.prepare("UPDATE schema_version SET version = ?");
        v.addBindValue(version);
        ok = ok && run(v);
        if (!ok) {
            *error = QStringLiteral("the step to schema version %1 failed").arg(version);
            rollback();
            return false;
        }
        if (!commit()) {
            *error = m_db.lastError().text();
            return false;
        }
    }
    return true;
}

bool Db::open(const QString &path, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    m_db = QSqlDatabase::addDatabase("QSQLITE", m_name);
    m_db.setDatabaseName(path);
    // Another process holding the file (a backup, the sqlite3 shell) is waited for a moment
    // rather than failing the write at once.
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
    if (!m_db.open()) {
        *error = QStringLiteral("Cannot open the database %1: %2").arg(path, m_db.lastError().text());
        return false;
    }
    // WAL with full syncs: every answered write is on disk even if the machine stops.
    const QStringList setup = {
        "PRAGMA journal_mode=WAL",
        "PRAGMA synchronous=FULL",
        "PRAGMA foreign_keys=ON",
        QStringLiteral("PRAGMA busy_timeout=%1").arg(BusyTimeoutMs),
        "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)",
        "INSERT INTO schema_version (version) SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM schema_version)",
    };
    for (const QString &sql : setup) {
        QSqlQuery q(m_db);
        if (!q.exec(sql)) {
            *error = QStringLiteral("Cannot prepare the database %1: %2").arg(path, q.lastError().text());
            return false;
        }
    }
    QSqlQuery q(m_db);
    if (!q.exec("SELECT version FROM schema_version") || !q.next()) {
        *error = QStringLiteral("Cannot read the schema version of %1: %2").arg(path, q.lastError().text());
        return false;
    }
    const int version = q.value(0).toInt();
    q.finish();
    if (version > SchemaVersion) {
        *error = QStringLiteral("The database %1 has schema version %2, newer than this server knows (%3).")
                     .arg(path)
                     .arg(version)
                     .arg(SchemaVersion);
        return false;
    }
    QString why;
    if (!migrate(version, &why)) {
        *error = QStringLiteral("Cannot bring the database %1 to schema version %2: %3")
                     .arg(path)
                     .arg(SchemaVersion)
                     .arg(why);
        return false;
    }
    // Also at every start: a plain row put back from an old backup is never a way in as it is.
    if (!hashPlainSessions()) {
        *error = QStringLiteral("Cannot rewrite the session tokens of %1 hashed.").arg(path);
        return false;
    }
    return true;
}

void Db::close()
{
    if (m_db.isOpen()) {
        exec("PRAGMA wal_checkpoint(TRUNCATE)");
        m_db.close();
    }
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_name))
        QSqlDatabase::removeDatabase(m_name);
}

int Db::createAccount(const QString &name, const QByteArray &salt, const QByteArray &hash, int iterations)
{
    QSqlQuery q(m_db);
    q.prepare("INSERT INTO accounts (name, salt, hash, iterations, created) VALUES (?, ?, ?, ?, ?)");
    q.addBindValue(name);
    q.addBindValue(salt);
    q.addBindValue(hash);
    q.addBindValue(iterations);
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    if (q.exec())
        return q.lastInsertId().toInt();
    // SQLITE_CONSTRAINT_UNIQUE: the name is taken (found by another sign-up meanwhile).
    if (q.lastError().nativeErrorCode() == QLatin1String("2067"))
        return -1;
    qWarning("orx-server: database: a new account failed: %s", qPrintable(q.lastError().text()));
    return -2;
}

bool Db::findAccount(const QString &name, AccountRow &out)
{
    QSqlQuery q(m_db);
    q.prepare("SELECT id, name, salt, hash, iterations FROM accounts WHERE name = ? COLLATE NOCASE");
    q.addBindValue(name);
    if (!q.exec() || !q.next())
        return false;
    out.id = q.value(0).toInt();
    out.name = q.value(1).toString();
    out.salt = q.value(2).toByteArray();
    out.hash = q.value(3).toByteArray();
    out.iterations = q.value(4).toInt();
    return true;
}

QString Db::accountName(int id)
{
    QSqlQuery q(m_db);
    q.prepare("SELECT name FROM accounts WHERE id = ?");
    q.addBindValue(id);
    if (!q.exec() || !q.next())
        return {};
    return q.value(0).toString();
}

bool Db::setPasswordHash(int id, const QByteArray &salt, const QByteArray &hash, int iterations)
{
    QSqlQuery q(m_db);
    q.prepare("UPDATE accounts SET salt = ?, hash = ?, iterations = ? WHERE id = ?");
    q.addBindValue(salt);
    q.addBindValue(hash);
    q.addBindValue(iterations);
    q.addBindValue(id);
    return run(q);
}

bool Db::addSession(const QString &token, int accountId)
{
    QSqlQuery q(m_db);
    q.prepare("INSERT INTO sessions (token, account_id, created) VALUES (?, ?, ?)");
    q.addBindValue(storedToken(token));
    q.addBindValue(accountId);
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    return run(q);
}

int Db::accountForToken(const QString &token, qint64 maxAgeS)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QString key = storedToken(token);
    QSqlQuery q(m_db);
    q.prepare("SELECT account_id, created FROM sessions WHERE token = ?");
    q.addBindValue(key);
    if (!q.exec() || !q.next())
        return -1;
    const int id = q.value(0).toInt();
    const qint64 created = q.value(1).toLongLong();
    // Done reading before writing: a write made while this read is still open commits only when
    // the read ends, and such a commit never folds the log back into the database, so the log
    // would grow with every token sign-in.
    q.finish();
    if (now - created > maxAgeS) {
        removeSession(token);
        return -1;
    }
    // Used now: it lasts another full term.
    QSqlQuery touch(m_db);
    touch.prepare("UPDATE sessions SET created = ? WHERE token = ?");
    touch.addBindValue(now);
    touch.addBindValue(key);
    run(touch); // a failed renewal leaves the session as it was: the sign-in still holds
    return id;
}

bool Db::removeSession(const QString &token)
{
    QSqlQuery q(m_db);
    q.prepare("DELETE FROM sessions WHERE token = ?");
    q.addBindValue(storedToken(token));
    return run(q);
}

int Db::pruneSessions(qint64 maxAgeS)
{
    QSqlQuery q(m_db);
    q.prepare("DELETE FROM sessions WHERE created < ?");
    q.addBindValue(QDateTime::currentSecsSinceEpoch() - maxAgeS);
    return run(q) ? q.numRowsAffected() : 0;
}

bool Db::insertRecord(const char *table, const QString &id, const QJsonObject &data)
{
    // A plain INSERT: an id that is taken fails rather than replacing the older record.
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT INTO %1 (id, at, data) VALUES (?, ?, ?)").arg(QLatin1String(table)));
    q.addBindValue(id);
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.addBindValue(QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact)));
    return run(q);
}

bool Db::recordTaken(const char *table, const QString &id)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE id = ?").arg(QLatin1String(table)));
    q.addBindValue(id);
    // Unreadable counts as free, so a broken database cannot keep the caller drawing; the plain
    // INSERT still refuses a taken id.
    return q.exec() && q.next();
}

bool Db::recordMatch(const QJsonObject &match, const CasualCount *casual)
{
    if (!begin())
        return false;
    if ((casual && !countCasual(*casual)) ||
        !insertRecord("matches", match.value("match").toString(), match)) {
        rollback();
        return false;
    }
    return commit();
}

bool Db::recordSeries(const QJsonObject &series)
{
    return insertRecord("series", series.value("series").toString(), series);
}

bool Db::storeReport(int accountId, const QString &type, const QJsonObject &report)
{
    QSqlQuery q(m_db);
    q.prepare("INSERT INTO reports (at, account_id, type, game, match, data) VALUES (?, ?, ?, ?, ?, ?)");
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.addBindValue(accountId);
    q.addBindValue(type);
    q.addBindValue(report.value("game").toString());
    q.addBindValue(report.value("match").toString());
    q.addBindValue(QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact)));
    return run(q);
}

int Db::countReports(const QString &type)
{
    QSqlQuery q(m_db);
    q.prepare("SELECT COUNT(*) FROM reports WHERE type = ?");
    q.addBindValue(type);
    if (!q.exec() || !q.next())
        return 0;
    return q.value(0).toInt();
}

qint64 Db::reportBytes(int accountId, const QString &type)
{
    QSqlQuery q(m_db);
    q.prepare("SELECT data FROM reports WHERE account_id = ? AND type = ?");
    q.addBindValue(accountId);
    q.addBindValue(type);
    qint64 total = 0;
    if (!q.exec())
        return 0;
    while (q.next())
        total += QJsonDocument::fromJson(q.value(0).toByteArray()).object().value("bytes").toInteger();
    return total;
}

QList<Db::StoredReport> Db::storedReports(const QString &type, qint64 before)
{
    QList<StoredReport> out;
    QSqlQuery q(m_db);
    q.prepare("SELECT id, account_id, data FROM reports WHERE type = ? AND at < ?");
    q.addBindValue(type);
    q.addBindValue(before);
    if (!run(q))
        return out;
    while (q.next()) {
        const QString folder =
            QJsonDocument::fromJson(q.value(2).toByteArray()).object().value("folder").toString();
        if (!folder.isEmpty())
            out.append({q.value(0).toLongLong(), q.value(1).toInt(), QDir::fromNativeSeparators(folder)});
    }
    return out;
}

bool Db::removeReport(qint64 id)
{
    QSqlQuery q(m_db);
    q.prepare("DELETE FROM reports WHERE id = ?");
    q.addBindValue(id);
    return run(q);
}

int Db::countAccountReports(int accountId, qint64 since)
{
    QSqlQuery q(m_db);
    q.prepare("SELECT COUNT(*) FROM reports WHERE account_id = ? AND at >= ? AND type IN ('crash_report', "
              "'desync_report', 'pick_refused')");
    q.addBindValue(accountId);
    q.addBindValue(since);
    if (!q.exec() || !q.next())
        return 0;
    return q.value(0).toInt();
}

bool Db::addRating(const QString &match, const QString &lobby, int winnerId, int raterId, int score)
{
    QSqlQuery q(m_db);
    q.prepare("INSERT INTO ratings (at, match, lobby, winner_id, rater_id, score) VALUES (?, ?, ?, ?, ?, ?)");
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.addBindValue(match);
    q.addBindValue(lobby);
    q.addBindValue(winnerId);
    q.addBindValue(raterId);
    q.addBindValue(score);
    return run(q);
}

void Db::ratingOf(int accountId, int *count, double *average)
{
    *count = 0;
    *average = 0;
    QSqlQuery q(m_db);
    q.prepare("SELECT COUNT(*), AVG(score) FROM ratings WHERE winner_id = ?");
    q.addBindValue(accountId);
    if (q.exec() && q.next()) {
        *count = q.value(0).toInt();
        *average = *count ? q.value(1).toDouble() : 0;
    }
}
