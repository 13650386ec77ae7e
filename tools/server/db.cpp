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
    if (!q.exec(sql)) {
        qWarning("orx-server: database: %s", qPrintable(q.lastError().text()));
        return false;
    }
    return true;
}

bool Db::open(const QString &path, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    m_db = QSqlDatabase::addDatabase("QSQLITE", m_name);
    m_db.setDatabaseName(path);
    if (!m_db.open()) {
        *error = QStringLiteral("Cannot open the database %1: %2").arg(path, m_db.lastError().text());
        return false;
    }
    // WAL with full syncs: every answered write is on disk even if the machine stops.
    const QStringList setup = {
        "PRAGMA journal_mode=WAL",
        "PRAGMA synchronous=FULL",
        "PRAGMA foreign_keys=ON",
        "CREATE TABLE IF NOT EXISTS accounts (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE "
        "NOCASE, salt BLOB NOT NULL, hash BLOB NOT NULL, iterations INTEGER NOT NULL, created INTEGER NOT "
        "NULL)",
        "CREATE TABLE IF NOT EXISTS sessions (token TEXT PRIMARY KEY, account_id INTEGER NOT NULL REFERENCES "
        "accounts(id), created INTEGER NOT NULL)",
        "CREATE TABLE IF NOT EXISTS stats (account_id INTEGER NOT NULL REFERENCES accounts(id), game TEXT "
        "NOT "
        "NULL, mode TEXT NOT NULL, elo INTEGER NOT NULL DEFAULT 1500, set_wins INTEGER NOT NULL DEFAULT 0, "
        "set_losses INTEGER NOT NULL DEFAULT 0, casual_wins INTEGER NOT NULL DEFAULT 0, casual_losses "
        "INTEGER "
        "NOT NULL DEFAULT 0, draws INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (account_id, game, mode))",
        "CREATE TABLE IF NOT EXISTS matches (id TEXT PRIMARY KEY, at INTEGER NOT NULL, data TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS series (id TEXT PRIMARY KEY, at INTEGER NOT NULL, data TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS ratings (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, match TEXT NOT "
        "NULL, lobby TEXT NOT NULL, winner_id INTEGER NOT NULL, rater_id INTEGER NOT NULL, score INTEGER NOT "
        "NULL, UNIQUE (match, rater_id))",
        "CREATE TABLE IF NOT EXISTS reports (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, account_id "
        "INTEGER, "
        "type TEXT NOT NULL, game TEXT, match TEXT, data TEXT NOT NULL)",
    };
    for (const QString &sql : setup) {
        QSqlQuery q(m_db);
        if (!q.exec(sql)) {
            *error = QStringLiteral("Cannot prepare the database %1: %2").arg(path, q.lastError().text());
            return false;
        }
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
    if (!q.exec())
        return -1;
    return q.lastInsertId().toInt();
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

void Db::setPasswordHash(int id, const QByteArray &salt, const QByteArray &hash, int iterations)
{
    QSqlQuery q(m_db);
    q.prepare("UPDATE accounts SET salt = ?, hash = ?, iterations = ? WHERE id = ?");
    q.addBindValue(salt);
    q.addBindValue(hash);
    q.addBindValue(iterations);
    q.addBindValue(id);
    q.exec();
}

namespace {

// What a session row holds in place of its token ("h:" and hex SHA-256). A row from before hashing
// holds the token itself, which never starts with "h:".
QString storedToken(const QString &token)
{
    return QStringLiteral("h:") +
           QString::fromLatin1(QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

} // namespace

void Db::addSession(const QString &token, int accountId)
{
    QSqlQuery q(m_db);
    q.prepare("INSERT OR REPLACE INTO sessions (token, account_id, created) VALUES (?, ?, ?)");
    q.addBindValue(storedToken(token));
    q.addBindValue(accountId);
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.exec();
}

int Db::accountForToken(const QString &token, qint64 maxAgeS)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const QString &key : {storedToken(token), token}) {
        QSqlQuery q(m_db);
        q.prepare("SELECT account_id, created FROM sessions WHERE token = ?");
        q.addBindValue(key);
        if (!q.exec() || !q.next())
            continue;
        const int id = q.value(0).toInt();
        const qint64 created = q.value(1).toLongLong();
        // Done reading before writing: a write made while this read is still open commits only
        // when the read ends, and such a commit never folds the log back into the database, so
        // the log would grow with every token sign-in.
        q.finish();
        if (now - created > maxAgeS) {
            removeSession(token);
            return -1;
        }
        // Used now: it lasts another full term, and a row from before hashing is stored hashed.
        QSqlQuery touch(m_db);
        touch.prepare("UPDATE sessions SET token = ?, created = ? WHERE token = ?");
        touch.addBindValue(storedToken(token));
        touch.addBindValue(now);
        touch.addBindValue(key);
        touch.exec();
        return id;
    }
    return -1;
}

void Db::removeSession(const QString &token)
{
    for (const QString &key : {storedToken(token), token}) {
        QSqlQuery q(m_db);
        q.prepare("DELETE FROM sessions WHERE token = ?");
        q.addBindValue(key);
        q.exec();
    }
}

int Db::pruneSessions(qint64 maxAgeS)
{
    QSqlQuery q(m_db);
    q.prepare("DELETE FROM sessions WHERE created < ?");
    q.addBindValue(QDateTime::currentSecsSinceEpoch() - maxAgeS);
    return q.exec() ? q.numRowsAffected() : 0;
}

void Db::recordMatch(const QJsonObject &match)
{
    QSqlQuery q(m_db);
    q.prepare("INSERT OR REPLACE INTO matches (id, at, data) VALUES (?, ?, ?)");
    q.addBindValue(match.value("match").toString());
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.addBindValue(QString::fromUtf8(QJsonDocument(match).toJson(QJsonDocument::Compact)));
    q.exec();
}

void Db::recordSeries(const QJsonObject &series)
{
    QSqlQuery q(m_db);
    q.prepare("INSERT OR REPLACE INTO series (id, at, data) VALUES (?, ?, ?)");
    q.addBindValue(series.value("series").toString());
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.addBindValue(QString::fromUtf8(QJsonDocument(series).toJson(QJsonDocument::Compact)));
    q.exec();
}

void Db::storeReport(int accountId, const QString &type, const QJsonObject &report)
{
    QSqlQuery q(m_db);
    q.prepare("INSERT INTO reports (at, account_id, type, game, match, data) VALUES (?, ?, ?, ?, ?, ?)");
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.addBindValue(accountId);
    q.addBindValue(type);
    q.addBindValue(report.value("game").toString());
    q.addBindValue(report.value("match").toString());
    q.addBindValue(QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact)));
    q.exec();
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
    return q.exec();
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
