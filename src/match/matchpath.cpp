// The path to the opponent chosen by the server: direct, relay or tunnel, and the report of each try.

#include "core/cfg.h"
#include "core/log.h"
#include "match/matchcontroller.h"
#include "match/matchrules.h"
#include "net/tunnelbridge.h"
#include "net/udprendezvous.h"

void MatchController::onMatchPeer(const QJsonObject &msg)
{
    if (m_match.found.isEmpty() || msg.value(QStringLiteral("match")).toString() != matchId())
        return;
    const QJsonObject opponent = msg.value(QStringLiteral("opponent")).toObject();
    if (!m_match.found.contains(QStringLiteral("opponent")) &&
        !opponent.value(QStringLiteral("title")).toString().isEmpty()) {
        log(tr("Your opponent: %1, %2 (%3 Elo)")
                .arg(opponent.value(QStringLiteral("name")).toString(),
                     opponent.value(QStringLiteral("title")).toString())
                .arg(opponent.value(QStringLiteral("elo")).toInt()));
    }
    if (msg.contains(QStringLiteral("opponent")))
        m_match.found.insert(QStringLiteral("opponent"), opponent);

    m_match.punchTimeoutMs = msg.value(QStringLiteral("punch_timeout")).toInt(10) * 1000;
    const QString id = matchId();
    const QString key = msg.value(QStringLiteral("key")).toString();
    const int side = msg.value(QStringLiteral("side")).toInt();
    const QString name = opponentName();

    if (msg.value(QStringLiteral("tunnel")).toBool()) {
        closeBridge();
        m_bridge = new TunnelBridge(m_server, quint16(cfg::gamePort()), this);
        QString error;
        if (!m_bridge->start(&error)) {
            log(error);
            closeBridge();
            decline();
            return;
        }
        setPhase(Connecting, tr("Connecting to %1 through the server's connection...").arg(name));
        // The bridge may be closed by the phase change above only outside a match; it is in one here.
        if (!bindGamePort(&error)) {
            log(error);
            decline();
            return;
        }
        m_rendezvous->punchTo(id, key, side, m_match.punchTimeoutMs, QHostAddress(QHostAddress::LocalHost),
                              m_bridge->localPort());
        return;
    }
    QString error;
    if (!bindGamePort(&error)) {
        // The game port went elsewhere since the match was found: the punch cannot run from it.
        log(error);
        decline();
        return;
    }
    if (msg.value(QStringLiteral("relay")).toBool()) {
        if (msg.value(QStringLiteral("back")).toBool()) {
            log(tr("Directly was no faster than through the server, or did not get through: back through the "
                   "server."));
        } else if (msg.value(QStringLiteral("relay_why")).toString() == QLatin1String("hidden")) {
            if (msg.value(QStringLiteral("relay_mine")).toBool())
                log(tr(
                    "Through the server in Virginia, USA: you hide your IP address (Settings, Rovivi). Two "
                    "players far from it get much more ping this way than directly."));
            else
                log(tr("Through the server in Virginia, USA: %1 hides their IP address. Two players far from "
                       "it "
                       "get much more ping this way than directly.")
                        .arg(name));
        }
        setPhase(Connecting, tr("Connecting to %1 through the server...").arg(name));
        m_rendezvous->punchRelay(id, key, side, m_match.punchTimeoutMs);
        return;
    }
    if (msg.value(QStringLiteral("direct_why")).toString() == QLatin1String("relay_ping")) {
        const int relayRtt = msg.value(QStringLiteral("relay_rtt")).toInt();
        if (msg.value(QStringLiteral("relay_mine")).toBool())
            log(tr("%1 ms through the server, too much to play well: trying %2 directly, which shows them "
                   "your "
                   "IP address. To keep it hidden however high the ping, tick \"Even when the ping through "
                   "the "
                   "server is high\" in Settings, Rovivi.")
                    .arg(relayRtt)
                    .arg(name));
        else
            log(tr("%1 ms through the server, too much to play well: trying %2 directly.")
                    .arg(relayRtt)
                    .arg(name));
    }
    setPhase(Connecting, tr("Connecting to %1...").arg(name));
    const QJsonObject peer = msg.value(QStringLiteral("peer")).toObject();
    bool rewritten = false;
    const QString publicEndpoint = matchrules::rewritePublicEndpoint(
        peer.value(QStringLiteral("public")).toString(), m_server->serverAddress(), &rewritten);
    if (rewritten)
        log(tr("%1 plays beside the server: reaching them on its network").arg(name));
    m_rendezvous->punchDirect(id, key, side, peer.value(QStringLiteral("lan")).toString(), publicEndpoint,
                              m_match.punchTimeoutMs);
}

void MatchController::onPunchDone(bool ok, int rttMs, const QString &remote, const QString &via)
{
    if (m_match.found.isEmpty())
        return;
    m_lastVia = ok ? via : QString();
    QJsonObject report{{QStringLiteral("type"), QStringLiteral("ping_report")},
                       {QStringLiteral("match"), matchId()},
                       {QStringLiteral("ok"), ok},
                       {QStringLiteral("rtt_ms"), rttMs}};
    if (ok) {
        report.insert(QStringLiteral("remote"), remote);
        report.insert(QStringLiteral("via"), via);
    }
    m_server->send(report);
    if (!ok) {
        log(tr("Could not reach %1 this way").arg(opponentName()));
        return;
    }
    const QString how = via == QLatin1String("tunnel")  ? tr("through the server's connection")
                        : via == QLatin1String("relay") ? tr("through the server")
                                                        : tr("directly");
    log(tr("Connected to %1 %2, %3 ms").arg(opponentName(), how).arg(rttMs));
}

void MatchController::requestTunnel()
{
    const QString id = matchId();
    if (id.isEmpty() || m_match.tunnelAsked)
        return;
    m_match.tunnelAsked = true;
    m_server->send({{QStringLiteral("type"), QStringLiteral("udp_tunnel")}, {QStringLiteral("match"), id}});
}

void MatchController::closeBridge()
{
    if (!m_bridge)
        return;
    TunnelBridge *bridge = m_bridge;
    m_bridge = nullptr;
    log(tr("Through the server's connection: %1 packets out, %2 in")
            .arg(bridge->packetsSent())
            .arg(bridge->packetsReceived()));
    bridge->deleteLater();
}
