#include "db.h"
#include "elo.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

bool ensureRow(QSqlDatabase &db, int accountId, const QString &game, const QString &mode)
{
    QSqlQuery q(db);
    q.prepare("INSERT OR IGNORE INTO stats (account_id, game, mode, elo) VALUES (?, ?, ?, ?)");
    q.addBindValue(accountId);
    q.addBindValue(game);
    q.addBindValue(mode);
    q.addBindValue(elo::Start);
    if (q.exec())
        return true;
    qWarning("orx-server: database: a stats row failed: %s", qPrintable(q.lastError().text()));
    return false;
}

bool setElo(QSqlDatabase &db, int accountId, const QString &game, const QString &mode, int value, bool won)
{
    QSqlQuery q(db);
    q.prepare(won ? "UPDATE stats SET elo = ?, set_wins = set_wins + 1 WHERE account_id = ? AND game = ? AND "
                    "mode = ?"
                  : "UPDATE stats SET elo = ?, set_losses = set_losses + 1 WHERE account_id = ? AND game = ? "
                    "AND mode = ?");
    q.addBindValue(value);
    q.addBindValue(accountId);
    q.addBindValue(game);
    q.addBindValue(mode);
    if (!q.exec()) {
        qWarning("orx-server: database: an Elo update failed: %s", qPrintable(q.lastError().text()));
        return false;
    }
    return q.numRowsAffected() == 1;
}

} // namespace

StatsRow Db::stats(int accountId, const QString &game, const QString &mode)
{
    StatsRow row;
    QSqlQuery q(m_db);
    q.prepare(
        "SELECT elo, set_wins, set_losses, casual_wins, casual_losses, draws FROM stats WHERE account_id "
        "= ? AND game = ? AND mode = ?");
    q.addBindValue(accountId);
    q.addBindValue(game);
    q.addBindValue(mode);
    if (q.exec() && q.next()) {
        row.elo = q.value(0).toInt();
        row.setWins = q.value(1).toInt();
        row.setLosses = q.value(2).toInt();
        row.casualWins = q.value(3).toInt();
        row.casualLosses = q.value(4).toInt();
        row.draws = q.value(5).toInt();
    }
    return row;
}

QJsonObject Db::statsObject(int accountId)
{
    QJsonObject games;
    QSqlQuery q(m_db);
    q.prepare(
        "SELECT game, mode, elo, set_wins, set_losses, casual_wins, casual_losses, draws FROM stats WHERE "
        "account_id = ? ORDER BY game, mode LIMIT 64");
    q.addBindValue(accountId);
    if (!q.exec())
        return games;
    while (q.next()) {
        const QString game = q.value(0).toString(), mode = q.value(1).toString();
        const int eloValue = q.value(2).toInt(), sw = q.value(3).toInt(), sl = q.value(4).toInt();
        // A player who never finished a ranked set has no rank yet.
        const bool rankedPlayed = sw + sl > 0;
        QJsonObject modeObj{
            {"ranked", QJsonObject{{"title", rankedPlayed ? elo::titleFor(eloValue) : QString()},
                                   {"elo", eloValue},
                                   {"wins", sw},
                                   {"losses", sl}}},
            {"casual", QJsonObject{{"wins", q.value(5).toInt()},
                                   {"losses", q.value(6).toInt()},
                                   {"draws", q.value(7).toInt()}}},
        };
        QJsonObject g = games.value(game).toObject();
        g.insert(mode, modeObj);
        games.insert(game, g);
    }
    return games;
}

bool Db::countCasual(const CasualCount &c)
{
    for (int id : {c.winnerId, c.loserId}) {
        if (!ensureRow(m_db, id, c.game, c.mode))
            return false;
    }
    auto bump = [&](int id, const char *column) {
        QSqlQuery q(m_db);
        q.prepare(
            QStringLiteral("UPDATE stats SET %1 = %1 + 1 WHERE account_id = ? AND game = ? AND mode = ?")
                .arg(QLatin1String(column)));
        q.addBindValue(id);
        q.addBindValue(c.game);
        q.addBindValue(c.mode);
        return run(q);
    };
    return c.draw ? bump(c.winnerId, "draws") && bump(c.loserId, "draws")
                  : bump(c.winnerId, "casual_wins") && bump(c.loserId, "casual_losses");
}

bool Db::applySet(int winnerId, int loserId, const QString &game, const QString &mode, EloChange &winner,
                  EloChange &loser, const std::function<QJsonObject()> &record)
{
    if (!begin())
        return false;
    if (!ensureRow(m_db, winnerId, game, mode) || !ensureRow(m_db, loserId, game, mode)) {
        rollback();
        return false;
    }
    const StatsRow w = stats(winnerId, game, mode), l = stats(loserId, game, mode);
    const int d = elo::delta(w.elo, l.elo);
    winner = {w.elo, w.elo + d, w.setWins + w.setLosses > 0 ? elo::titleFor(w.elo) : QString(),
              elo::titleFor(w.elo + d)};
    loser = {l.elo, l.elo - d, l.setWins + l.setLosses > 0 ? elo::titleFor(l.elo) : QString(),
             elo::titleFor(l.elo - d)};
    const QJsonObject data = record();
    if (!setElo(m_db, winnerId, game, mode, winner.after, true) ||
        !setElo(m_db, loserId, game, mode, loser.after, false) ||
        !insertRecord("series", data.value("series").toString(), data)) {
        rollback();
        return false;
    }
    return commit();
}

bool Db::setRankedElo(int accountId, const QString &game, const QString &mode, int value)
{
    if (!begin())
        return false;
    if (!ensureRow(m_db, accountId, game, mode) || !setElo(m_db, accountId, game, mode, value, true)) {
        rollback();
        return false;
    }
    return commit();
}

QJsonArray Db::leaderboard(const QString &game, const QString &mode, int limit)
{
    QJsonArray rows;
    QSqlQuery q(m_db);
    q.prepare("SELECT a.name, s.elo, s.set_wins, s.set_losses FROM stats s JOIN accounts a ON a.id = "
              "s.account_id WHERE s.game = ? AND s.mode = ? AND s.set_wins + s.set_losses > 0 ORDER BY s.elo "
              "DESC, a.name COLLATE NOCASE ASC LIMIT ?");
    q.addBindValue(game);
    q.addBindValue(mode);
    q.addBindValue(limit);
    if (!q.exec())
        return rows;
    int rank = 0;
    while (q.next()) {
        ++rank;
        const int e = q.value(1).toInt();
        rows.append(QJsonObject{{"rank", rank},
                                {"name", q.value(0).toString()},
                                {"title", elo::titleFor(e)},
                                {"elo", e},
                                {"wins", q.value(2).toInt()},
                                {"losses", q.value(3).toInt()}});
    }
    return rows;
}
