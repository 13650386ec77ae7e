// The session: greeting, pings and the dispatch of every request to its handler.
#include "f3inbox.h"
#include "feedrelay.h"
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"
#include "udphub.h"

#include <QJsonArray>

namespace {

// Compares dotted versions number by number; missing numbers count as 0.
int compareVersions(const QString &a, const QString &b)
{
    const QStringList pa = a.split('.'), pb = b.split('.');
    for (qsizetype i = 0; i < qMax(pa.size(), pb.size()); ++i) {
        const int x = i < pa.size() ? pa[i].toInt() : 0, y = i < pb.size() ? pb[i].toInt() : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

} // namespace

void Server::handleHello(Connection *c, const QJsonObject &msg)
{
    if (msg.value("proto").toInt(-1) != 1) {
        c->sendError(
            msg, "proto_mismatch",
            "This server speaks protocol 1 of Orvex Rovivi: update the launcher or use another server.");
        c->closeGracefully();
        return;
    }
    const QString version = msg.value("version").toString().left(32);
    if (!m_options.minClientVersion.isEmpty() && compareVersions(version, m_options.minClientVersion) < 0) {
        QJsonObject err{{"type", "error"},
                        {"code", "client_outdated"},
                        {"re", "hello"},
                        {"message", QStringLiteral("This server needs Orvex Rovivi %1 or newer; you have %2.")
                                        .arg(m_options.minClientVersion, version)}};
        if (!m_updateOffer.isEmpty())
            err.insert("update", m_updateOffer);
        c->reply(msg, err);
        c->closeGracefully();
        return;
    }
    c->greeted = true;
    c->clientVersion = version.left(32);
    c->clientBuild = msg.value("build").toString().left(64);
    c->clientFeatures.clear();
    for (const QJsonValue &f : msg.value("features").toArray()) {
        if (f.isString() && c->clientFeatures.size() < 32)
            c->clientFeatures << f.toString().left(32);
    }
    QJsonObject welcome{
        {"type", "welcome"},
        {"server", "orx-server"},
        {"version", Version},
        {"online", onlineCount()},
        {"features", QJsonArray::fromStringList(m_options.features)},
        {"udp_port", int(m_udp->port())},
        {"direct_above_ms", m_options.directAboveMs},
        {"motd", m_options.motd.left(MaxText)},
    };
    if (!m_updateOffer.isEmpty())
        welcome.insert("update", m_updateOffer);
    c->reply(msg, welcome);
}

void Server::slowDown(Connection *c, const QJsonObject &msg, const QString &what)
{
    const qint64 now = nowMs();
    const qint64 last = c->property("slowDownAt").toLongLong();
    if (last == 0 || now - last > 10000)
        serverLog(QStringLiteral("%1: too many %2 at once, asked to slow down").arg(c->peerAddress(), what));
    c->setProperty("slowDownAt", qMax<qint64>(1, now));
    c->sendError(msg, "slow_down", QStringLiteral("Too many %1 at once: try again in a moment.").arg(what));
}

void Server::onMessage(Connection *c, const QJsonObject &msg)
{
    if (m_shutDown)
        return;
    const QString type = msg.value("type").toString();
    if (const RateRule *rule = m_options.rateLimit ? rateRuleFor(type) : nullptr;
        rule && !c->rates.take(*rule, nowMs()))
        return slowDown(c, msg, QString::fromLatin1(rule->family));
    if (type == "hello") {
        handleHello(c, msg);
        return;
    }
    if (!c->greeted) {
        c->sendError(msg, "hello_first", "Say hello first.");
        return;
    }
    if (type == "ping") {
        c->reply(msg, QJsonObject{{"type", "pong"}});
        return;
    }
    if (type == "register")
        return handleRegister(c, msg);
    if (type == "login")
        return handleLogin(c, msg);
    if (type == "auth")
        return handleAuth(c, msg);
    if (type == "leaderboard")
        return handleLeaderboard(c, msg);
    if (type == "online")
        return handleOnline(c, msg);
    Player *p = c->accountId >= 0 ? m_players.value(c->accountId) : nullptr;
    if (!p) {
        if (type != "tunnel")
            c->sendError(msg, "not_signed_in", "Sign in first.");
        return;
    }
    if (type == "logout")
        return handleLogout(c, msg);
    if (type == "profile")
        return handleProfile(c, msg);
    if (type == "crash_report" || type == "desync_report" || type == "pick_refused")
        return handleReport(c, msg);
    if (type == "report_file")
        return m_f3->handleFile(c, p->accountId, p->name, msg);
    if (type == "report_done")
        return m_f3->handleDone(c, p->accountId, msg);
    if (type == "tunnel")
        return m_hub->handleTunnel(p, msg);
    if (type == "feed")
        return m_feeds->handleFeed(p, msg);
    if (m_hub->handle(p, msg) || m_lobbies->handle(p, msg))
        return;
    c->sendError(msg, "unknown_type", QStringLiteral("This server does not know \"%1\".").arg(type.left(40)));
}
