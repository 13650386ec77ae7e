// Read-only queries (profile, leaderboard, online), stored reports, notices and update offers.
#include "matchhub.h"
#include "server.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

void Server::handleProfile(Connection *c, const QJsonObject &msg)
{
    int id = c->accountId;
    const QString name = msg.value("name").toString();
    if (!name.isEmpty()) {
        AccountRow row;
        if (!m_db.findAccount(name.left(32), row))
            return c->sendError(msg, "no_such_player",
                                QStringLiteral("There is no player %1.").arg(name.left(32)));
        id = row.id;
    }
    QJsonObject profile = profileOf(id);
    profile.insert("type", "profile");
    c->reply(msg, profile);
}

void Server::handleLeaderboard(Connection *c, const QJsonObject &msg)
{
    const QString by = msg.value("by").toString("elo");
    if (by != "elo")
        return c->sendError(msg, "bad_request", "Leaderboards are ordered by elo.");
    const QString game = msg.value("game").toString("orx").left(32);
    const QString mode = msg.value("mode").toString("versus").left(32);
    const int limit = qBound(1, msg.value("limit").toInt(100), 100);
    c->reply(msg, QJsonObject{{"type", "leaderboard"},
                              {"by", by},
                              {"game", game},
                              {"mode", mode},
                              {"rows", m_db.leaderboard(game, mode, limit)}});
}

QJsonObject Server::onlineObject() const
{
    return QJsonObject{{"type", "online"},
                       {"count", onlineCount()},
                       {"playing", m_hub->playingCount()},
                       {"searching", m_hub->searchingCount()},
                       {"games", m_hub->gamesObject()}};
}

void Server::handleOnline(Connection *c, const QJsonObject &msg)
{
    c->reply(msg, onlineObject());
}

void Server::handleReport(Connection *c, const QJsonObject &msg)
{
    const QString type = msg.value("type").toString();
    const qint64 dayAgo = QDateTime::currentSecsSinceEpoch() - 24 * 3600;
    if (m_db.countAccountReports(c->accountId, dayAgo) >= m_options.reportBudget) {
        if (!m_reportsOverBudget.contains(c->accountId)) {
            m_reportsOverBudget.insert(c->accountId);
            serverLog(QStringLiteral("reports from %1 dropped: more than %2 in 24 hours")
                          .arg(m_players.value(c->accountId)->name)
                          .arg(m_options.reportBudget));
        }
        return;
    }
    m_reportsOverBudget.remove(c->accountId);
    // Only the fields the launcher sends, each cut to a sane size, are kept.
    QJsonObject report{{"game", msg.value("game").toString().left(32)},
                       {"match", msg.value("match").toString().left(64)}};
    if (type == "crash_report") {
        report.insert("code", msg.value("code").toString().left(16));
        report.insert("where", msg.value("where").toString().left(150));
        report.insert("during", msg.value("during").toString().left(40));
    } else if (type == "desync_report") {
        report.insert("frame", msg.value("frame").toInteger());
        report.insert("again", msg.value("again").toBool());
        QJsonArray lines;
        for (const QJsonValue &v : msg.value("lines").toArray()) {
            if (lines.size() >= 400)
                break;
            lines.append(v.toString().left(400));
        }
        report.insert("lines", lines);
    } else {
        report.insert("reason", msg.value("reason").toString().left(400));
    }
    if (!m_db.storeReport(c->accountId, type, report))
        return serverLog(
            QStringLiteral("%1 from %2 could not be stored").arg(type, m_players.value(c->accountId)->name));
    serverLog(QStringLiteral("%1 from %2 stored").arg(type, m_players.value(c->accountId)->name));
}

void Server::broadcastNotice(const QString &text, const QString &level)
{
    const QJsonObject notice{{"type", "notice"}, {"text", text.left(MaxText)}, {"level", level}};
    for (Connection *c : std::as_const(m_connections)) {
        if (c->greeted)
            c->send(notice);
    }
    serverLog(QStringLiteral("notice (%1) sent: %2").arg(level, text));
}

bool Server::reloadUpdateOffer()
{
    QJsonObject offer;
    QFile f(m_options.updateFile);
    if (f.open(QIODevice::ReadOnly)) {
        const QByteArray data = f.read(65536);
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(data, &err);
        static const QRegularExpression versionRe(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
        static const QRegularExpression shaRe(QStringLiteral("^[0-9a-f]{64}$"));
        static const QRegularExpression loopbackRe(
            QStringLiteral("^http://(127\\.0\\.0\\.1|localhost)(:[0-9]+)?/"));
        const QJsonObject o = doc.object();
        const double size = o.value("size").toDouble(-1);
        const QString url = o.value("url").toString();
        // Every launcher drops an offer against these rules: saying why here beats silence there.
        QString why;
        if (!doc.isObject() || o.value("version").toString().size() > 32 ||
            !versionRe.match(o.value("version").toString()).hasMatch() ||
            !shaRe.match(o.value("sha256").toString()).hasMatch() || !o.value("size").isDouble() ||
            url.isEmpty())
            why = QStringLiteral("it needs version, size, sha256, url");
        else if (size <= 0 || size > 1073741824.0 || size != double(qint64(size)))
            why = QStringLiteral("size must be a whole number of bytes from 1 to 1073741824");
        else if (url.size() > 500)
            why = QStringLiteral("url is longer than 500 characters");
        else if (!url.startsWith(QLatin1String("https://")) && !loopbackRe.match(url).hasMatch())
            why = QStringLiteral("url must start with https:// (or http://127.0.0.1 or http://localhost)");
        if (!why.isEmpty()) {
            serverLog(QStringLiteral("update offer %1 is not valid (%2): no offer is made")
                          .arg(m_options.updateFile, why));
        } else {
            offer = QJsonObject{{"version", o.value("version").toString().left(32)},
                                {"build", o.value("build").toString().left(64)},
                                {"size", o.value("size")},
                                {"sha256", o.value("sha256")},
                                {"url", url}};
            // The player reads these two: passed on, cut to a size a dialog can hold.
            const QString notes = o.value("notes").toString().left(4000);
            const QString page = o.value("page").toString().left(500);
            if (!notes.isEmpty())
                offer.insert("notes", notes);
            if (!page.isEmpty())
                offer.insert("page", page);
        }
    }
    if (offer == m_updateOffer)
        return !offer.isEmpty();
    m_updateOffer = offer;
    if (offer.isEmpty())
        return false;
    serverLog(QStringLiteral("update offer %1").arg(offer.value("version").toString()));
    QJsonObject msg = offer;
    msg.insert("type", "update");
    for (Connection *c : std::as_const(m_connections)) {
        if (c->greeted)
            c->send(msg);
    }
    return true;
}
