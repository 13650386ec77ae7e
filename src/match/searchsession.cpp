#include "match/searchsession.h"

#include "core/cfg.h"
#include "match/matchhost.h"
#include "match/matchrules.h"
#include "net/serverclient.h"

SearchSession::SearchSession(MatchHost *host, QObject *parent) : QObject(parent), m_host(host)
{
    m_keepAlive.setInterval(m_host->timing().keepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, &SearchSession::keepAliveTick);
}

int SearchSession::searchSeconds() const
{
    return m_clock.isValid() ? int(m_clock.elapsed() / 1000) : 0;
}

int SearchSession::widenedPingLimit() const
{
    if (m_host->phase() != MatchController::Searching || m_pingWiden.isEmpty() || m_search.maxPing <= 0 ||
        !m_clock.isValid())
        return 0;
    return matchrules::widenedPingLimit(m_pingWiden, m_search.maxPing, m_clock.elapsed() / 1000.0);
}

bool SearchSession::queue(const MatchController::SearchRequest &request, QString *reason)
{
    auto fail = [reason](const QString &text) {
        if (reason)
            *reason = text;
        return false;
    };
    ServerClient *server = m_host->server();
    const MatchController::Phase phase = m_host->phase();
    if (server->state() != ServerClient::LoggedIn)
        return fail(MatchController::tr("Sign in first."));
    if (phase != MatchController::Idle && phase != MatchController::Searching &&
        phase != MatchController::Solo)
        return fail(MatchController::tr("Busy: %1").arg(m_host->phaseText()));
    QString why;
    if (!m_host->gameCheck(request.game, &why))
        return fail(why);
    if (!m_host->bindGamePort(&why))
        return fail(why);
    m_host->sendHello(QString(), 3000);

    m_search = request;
    m_pingWiden = QJsonObject();
    QJsonObject join{
        {QStringLiteral("type"), QStringLiteral("queue_join")},
        {QStringLiteral("game"), request.game},
        {QStringLiteral("mode"), request.mode},
        {QStringLiteral("ranked"), request.ranked},
        {QStringLiteral("region"), request.region},
        {QStringLiteral("max_ping"), request.maxPing},
        {QStringLiteral("strict"), request.strict},
        {QStringLiteral("character"), request.character},
        {QStringLiteral("relay"), cfg::hideIp()},
        {QStringLiteral("hide_always"), cfg::hideIpAlways()},
        {QStringLiteral("link"), server->linkType()},
    };
    const int rtt = m_host->serverRtt();
    if (rtt >= 0)
        join.insert(QStringLiteral("server_rtt"), rtt);
    cfg::putDelay(join, request.delay < 0 ? -1 : request.delay);
    server->send(join);

    m_clock.start();
    m_host->setPhase(MatchController::Searching,
                     MatchController::tr("Searching for a %1 %2 opponent...")
                         .arg(request.ranked ? MatchController::tr("ranked") : MatchController::tr("casual"),
                              request.mode));
    m_keepAlive.start(m_host->timing().keepAliveMs);
    return true;
}

void SearchSession::keepAliveTick()
{
    if (m_host->phase() != MatchController::Searching || m_host->server()->state() != ServerClient::LoggedIn)
        return;
    if (m_host->udpRoundTripMs() >= 0 || m_host->bindGamePort())
        m_host->sendHello(QString(), 2000);
}

void SearchSession::onQueued(const QJsonObject &msg)
{
    m_lastQueued = msg;
    m_pingWiden = msg.value(QStringLiteral("ping_widen")).toObject();
    if (m_host->phase() == MatchController::Idle) {
        m_clock.start();
        m_host->setPhase(MatchController::Searching, MatchController::tr("Searching..."));
    }
    if (m_host->phase() == MatchController::Searching)
        m_keepAlive.start(m_host->timing().keepAliveMs);
}

void SearchSession::onQueueLeft(const QJsonObject &msg)
{
    if (m_host->phase() != MatchController::Searching)
        return;
    m_host->stopRendezvous();
    if (msg.value(QStringLiteral("reason")).toString() == QLatin1String("removed"))
        m_host->setPhase(MatchController::Idle, MatchController::tr("Removed from the queue"));
    else
        m_host->setPhase(MatchController::Idle, MatchController::tr("Search stopped"));
}

void SearchSession::leave()
{
    m_host->server()->send({{QStringLiteral("type"), QStringLiteral("queue_leave")}});
    m_host->stopRendezvous();
}

void SearchSession::requeued()
{
    m_keepAlive.start(m_host->timing().keepAliveMs);
    if (m_host->bindGamePort())
        m_host->sendHello(QString(), 2000);
}

void SearchSession::phaseChanged(MatchController::Phase phase)
{
    if (phase != MatchController::Searching)
        m_keepAlive.stop();
}
