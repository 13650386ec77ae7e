// The phase machine, the search and the match found with its accept and decline.

#include "core/cfg.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "match/codeprep.h"
#include "match/gamefiles.h"
#include "match/localtest.h"
#include "match/matchcontroller.h"
#include "match/matchreports.h"
#include "match/matchrules.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"
#include "match/seriesrules.h"
#include "net/tunnelbridge.h"
#include "net/udprendezvous.h"

#include <QHostAddress>

MatchController::MatchController(ServerClient *server, QObject *parent)
    : QObject(parent), m_server(server), m_rendezvous(new UdpRendezvous(this)),
      m_seriesFlow(new MatchSeries(this)), m_watchFlow(new MatchWatch(this)),
      m_reports(new MatchReports(this)), m_codePrep(new CodePrep(this)), m_localTest(new ::LocalTest(this))
{
    m_keepAlive.setInterval(m_timing.keepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, &MatchController::keepAliveTick);
    m_endingTimer.setSingleShot(true);
    connect(&m_endingTimer, &QTimer::timeout, this, [this] {
        if (m_phase == Finishing)
            leaveFinishing();
    });
    connect(m_server, &ServerClient::message, this, &MatchController::onServerMessage);
    connect(m_server, &ServerClient::stateChanged, this, &MatchController::onServerState);
    connect(m_server, &ServerClient::loggedIn, this, &MatchController::onLoggedIn);
    connect(m_rendezvous, &UdpRendezvous::helloTimedOut, this, &MatchController::onHelloTimedOut);
    connect(m_rendezvous, &UdpRendezvous::helloAcked, this, &MatchController::onHelloAcked);
    connect(m_rendezvous, &UdpRendezvous::punchDone, this, &MatchController::onPunchDone);
    replaceMatch();
    gamefiles::startHashingGameFiles(QStringLiteral("orx"));
}

void MatchController::replaceMatch(const QJsonObject &found)
{
    MatchState next;
    next.serial = ++m_matchSerial;
    next.found = found;
    next.startTimer.reset(new QTimer(this));
    next.startTimer->setSingleShot(true);
    connect(next.startTimer.get(), &QTimer::timeout, this, &MatchController::onStartTimeout);
    next.ackTimer.reset(new QTimer(this));
    next.ackTimer->setSingleShot(true);
    connect(next.ackTimer.get(), &QTimer::timeout, this, [this] {
        if (m_phase == Reporting)
            matchOver();
    });
    next.resultTimer.reset(new QTimer(this));
    next.resultTimer->setSingleShot(true);
    connect(next.resultTimer.get(), &QTimer::timeout, m_seriesFlow, &MatchSeries::resultScreenTimedOut);
    m_match = std::move(next); // the old match's timers stop here
}

MatchController::~MatchController()
{
    // The player's game outlives nothing of ours: stop listening before members go.
    if (m_game)
        disconnect(m_game, nullptr, this, nullptr);
}

void MatchController::log(const QString &text)
{
    appendLog(QStringLiteral("match: ") + text);
    emit logLine(text);
}

void MatchController::setPhaseSilently(Phase phase, const QString &text)
{
    m_phase = phase;
    m_phaseText = text;
}

void MatchController::setPhase(Phase phase, const QString &text)
{
    m_phase = phase;
    m_phaseText = text;
    if (phase != Searching)
        m_keepAlive.stop();
    if (m_bridge && !((phase >= Found && phase <= Finishing) || phase == AtResult))
        closeBridge();
    log(text);
    emit phaseChanged(phase, text);
    if (phase == Idle) {
        sendPendingSeriesReady();
        m_watchFlow->tryStartWatch();
    }
    m_seriesFlow->afterPhaseChange();
}

QString MatchController::matchId() const
{
    return m_match.id();
}

QString MatchController::opponentName() const
{
    const QString name =
        m_match.found.value(QStringLiteral("opponent")).toObject().value(QStringLiteral("name")).toString();
    return name.isEmpty() ? tr("opponent") : name;
}

bool MatchController::bindGamePort(QString *error)
{
    const QHostAddress address =
        cfg::devUdpLoopback() ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(QHostAddress::AnyIPv4);
    return m_rendezvous->bind(quint16(cfg::gamePort()), address, error);
}

void MatchController::sendHello(const QString &id, int timeoutMs)
{
    const QString lan = QStringLiteral("%1:%2").arg(m_server->localAddress().toString()).arg(cfg::gamePort());
    m_rendezvous->hello(m_server->serverAddress(), m_server->udpPort(), m_server->udpToken(), id, lan,
                        timeoutMs);
}

int MatchController::searchSeconds() const
{
    return m_searchClock.isValid() ? int(m_searchClock.elapsed() / 1000) : 0;
}

int MatchController::serverRtt() const
{
    const int udp = m_rendezvous->serverRoundTripMs();
    return udp >= 0 ? udp : m_server->roundTripMs();
}

int MatchController::widenedPingLimit() const
{
    if (m_phase != Searching || m_pingWiden.isEmpty() || m_search.maxPing <= 0 || !m_searchClock.isValid())
        return 0;
    return matchrules::widenedPingLimit(m_pingWiden, m_search.maxPing, m_searchClock.elapsed() / 1000.0);
}

bool MatchController::queue(const SearchRequest &request, QString *reason)
{
    auto fail = [reason](const QString &text) {
        if (reason)
            *reason = text;
        return false;
    };
    if (m_server->state() != ServerClient::LoggedIn)
        return fail(tr("Sign in first."));
    if (m_phase != Idle && m_phase != Searching && m_phase != Solo)
        return fail(tr("Busy: %1").arg(m_phaseText));
    QString why;
    if (!gameCheck(request.game, &why))
        return fail(why);
    if (!bindGamePort(&why))
        return fail(why);
    sendHello(QString(), 3000);

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
        {QStringLiteral("link"), m_server->linkType()},
    };
    const int rtt = serverRtt();
    if (rtt >= 0)
        join.insert(QStringLiteral("server_rtt"), rtt);
    cfg::putDelay(join, request.delay < 0 ? -1 : request.delay);
    m_server->send(join);

    m_searchClock.start();
    setPhase(Searching, tr("Searching for a %1 %2 opponent...")
                            .arg(request.ranked ? tr("ranked") : tr("casual"), request.mode));
    m_keepAlive.start(m_timing.keepAliveMs);
    return true;
}

void MatchController::keepAliveTick()
{
    if (m_phase != Searching || m_server->state() != ServerClient::LoggedIn)
        return;
    if (m_rendezvous->serverRoundTripMs() >= 0 || bindGamePort())
        sendHello(QString(), 2000);
}

void MatchController::onServerMessage(const QJsonObject &msg)
{
    const QString type = msg.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("queued"))
        onQueued(msg);
    else if (type == QLatin1String("queue_left"))
        onQueueLeft(msg);
    else if (type == QLatin1String("match_found"))
        onMatchFound(msg);
    else if (type == QLatin1String("match_cancelled"))
        onMatchCancelled(msg);
    else if (type == QLatin1String("match_peer"))
        onMatchPeer(msg);
    else if (type == QLatin1String("match_go"))
        onMatchGo(msg);
    else if (type == QLatin1String("match_result"))
        onMatchResult(msg);
    else if (type == QLatin1String("result_ack"))
        onResultAck(msg);
    else if (type == QLatin1String("error") &&
             msg.value(QStringLiteral("re")).toString() == QLatin1String("result") &&
             msg.value(QStringLiteral("code")).toString() == QLatin1String("no_such_match"))
        resultUnknownToServer(msg);
    else if (type == QLatin1String("series"))
        m_seriesFlow->onSeries(msg);
    else if (type == QLatin1String("lobby"))
        m_seriesFlow->onLobby(msg);
    else if (type == QLatin1String("spectate"))
        m_watchFlow->onOffer(msg);
    else if (type == QLatin1String("spectate_feed"))
        m_watchFlow->onFeed(msg);
    else if (type == QLatin1String("spectate_end"))
        m_watchFlow->onEnd(msg);
}

void MatchController::stopWatchingAll()
{
    m_watchFlow->stopWatchingAll();
}

QList<QJsonObject> MatchController::watchOffers() const
{
    return m_watchFlow->offers();
}

void MatchController::handOverFeed()
{
    m_watchFlow->handOverFeed();
}

bool MatchController::isWatching() const
{
    return m_watchFlow->watching();
}

bool MatchController::hasLobbyMatchesToWatch() const
{
    return m_watchFlow->watching() || m_watchFlow->hasOffers();
}

void MatchController::setSeriesReady(bool ready, const QString &choice)
{
    m_seriesFlow->setSeriesReady(ready, choice);
}

void MatchController::leaveLobby()
{
    m_seriesFlow->leaveLobby();
}

void MatchController::lobbyLeft()
{
    m_seriesFlow->lobbyLeft();
}

QJsonObject MatchController::series() const
{
    return m_seriesFlow->series();
}

bool MatchController::enterResultScreen(const QJsonObject &result)
{
    return m_seriesFlow->enterResultScreen(result);
}

void MatchController::sendPendingSeriesReady()
{
    m_seriesFlow->sendPendingReady();
}

QString MatchController::seriesKeys() const
{
    return seriesrules::seriesKeys(m_match.go);
}

bool MatchController::playersChoose() const
{
    return m_seriesFlow->choiceRule();
}

QString MatchController::opponentRawName() const
{
    return m_match.found.value(QStringLiteral("opponent"))
        .toObject()
        .value(QStringLiteral("name"))
        .toString();
}

void MatchController::onQueued(const QJsonObject &msg)
{
    m_lastQueued = msg;
    m_pingWiden = msg.value(QStringLiteral("ping_widen")).toObject();
    if (m_phase == Idle) {
        m_searchClock.start();
        setPhase(Searching, tr("Searching..."));
    }
    if (m_phase == Searching)
        m_keepAlive.start(m_timing.keepAliveMs);
}

void MatchController::onQueueLeft(const QJsonObject &msg)
{
    if (m_phase != Searching)
        return;
    m_rendezvous->stop();
    if (msg.value(QStringLiteral("reason")).toString() == QLatin1String("removed"))
        setPhase(Idle, tr("Removed from the queue"));
    else
        setPhase(Idle, tr("Search stopped"));
}

void MatchController::onMatchFound(const QJsonObject &msg)
{
    const Phase before = m_phase;
    bool inPlace = false;
    if (before == AtResult) {
        inPlace = msg.value(QStringLiteral("in_place")).toBool() && m_game && m_game->isRunning();
    } else if (isInOnlineMenu() && m_game->statusWord() == QLatin1String("away")) {
        log(tr("A match came while the game is away from its online menu: declined"));
        leaveMatchInHand(tr("another match came"));
        replaceMatch(msg);
        setPhaseSilently(Found, m_phaseText);
        decline();
        emit notice(tr("A match came while you were away from the online menu, so it was called off."));
        return;
    }
    if (before == AtResult && !inPlace && m_game && m_game->isRunning())
        parkGame();
    else if (before != AtResult)
        leaveMatchInHand(tr("another match came"));

    // The same match found again (the server repeats itself) is still one match to the server:
    // its tunnel was asked for already.
    const bool tunnelAsked = m_match.tunnelAsked && !matchId().isEmpty() &&
                             msg.value(QStringLiteral("match")).toString() == matchId();
    replaceMatch(msg);
    m_match.inPlace = inPlace;
    m_match.tunnelAsked = tunnelAsked;
    if (inPlace) {
        setPhase(Starting, tr("Next match against %1, from the result screen...").arg(opponentName()));
        emit matchFound(msg);
        return;
    }
    closeBridge();
    if (msg.contains(QStringLiteral("connection")))
        log(tr("Opponent's connection: %1").arg(matchrules::connectionText(msg)));
    handOverFeed();

    QString why;
    if (!gameForMatch(msg, &why)) {
        log(why);
        emit notice(tr("A match came, but it could not be played: %1").arg(why));
        setPhaseSilently(Found, m_phaseText);
        decline();
        return;
    }
    whenPortReady(m_timing.portTries, [this, msg] { takeMatch(msg); });
}

bool MatchController::gameHoldsMatch() const
{
    return (m_match.startSent || m_match.inPlace) && (m_phase == Starting || m_phase == Playing) && m_game &&
           m_game->isRunning();
}

void MatchController::leaveMatchInHand(const QString &why)
{
    if (m_match.found.isEmpty())
        return;
    if (!m_match.pendingStart.isEmpty()) {
        log(tr("Match %1 ends before the game took its start (%2): the start is dropped")
                .arg(m_match.id(), why));
    } else if (gameHoldsMatch()) {
        log(tr("Match %1 ends while the game holds it (%2): the game is told to leave it")
                .arg(m_match.id(), why));
        parkGame();
    }
}

void MatchController::takeMatch(const QJsonObject &msg)
{
    if (m_udpFallback)
        requestTunnel();
    else
        sendHello(matchId(), 4000);
    if (msg.value(QStringLiteral("accept_required")).toBool())
        setPhase(Found, tr("Match found"));
    else if (msg.contains(QStringLiteral("series")))
        setPhase(Connecting, tr("Next match: connecting to %1...").arg(opponentName()));
    else
        setPhase(Connecting, tr("Lobby match: connecting to %1...").arg(opponentName()));
    emit matchFound(msg);
}

void MatchController::whenPortReady(int tries, const std::function<void()> &action)
{
    m_match.portAction = action;
    portTry(m_match.serial, tries);
}

void MatchController::portTry(quint64 serial, int left)
{
    // Another match in hand ends this chain of tries.
    if (serial != m_match.serial || !m_match.portAction)
        return;
    QString error;
    if (bindGamePort(&error)) {
        const std::function<void()> action = std::move(m_match.portAction);
        m_match.portAction = nullptr;
        action();
        return;
    }
    if (left > 0) {
        QTimer::singleShot(m_timing.portRetryMs, this, [this, serial, left] { portTry(serial, left - 1); });
        return;
    }
    m_match.portAction = nullptr;
    log(error);
    setPhaseSilently(Found, m_phaseText);
    decline();
}

void MatchController::accept()
{
    if (m_phase != Found)
        return;
    QString why;
    if (!gameForMatch(m_match.found, &why)) {
        log(why);
        decline();
        return;
    }
    m_server->send(
        {{QStringLiteral("type"), QStringLiteral("match_accept")}, {QStringLiteral("match"), matchId()}});
    setPhase(Connecting, tr("Accepted; waiting for the opponent..."));
}

void MatchController::decline()
{
    if (m_phase != Found && m_phase != Connecting)
        return;
    m_server->send(
        {{QStringLiteral("type"), QStringLiteral("match_decline")}, {QStringLiteral("match"), matchId()}});
    replaceMatch();
    m_rendezvous->stop();
    setPhase(Idle, tr("Match declined"));
}

void MatchController::cancel()
{
    const Phase before = m_phase;
    if (before == Found || before == Connecting) {
        decline();
    } else if (before == Searching) {
        m_server->send({{QStringLiteral("type"), QStringLiteral("queue_leave")}});
        m_rendezvous->stop();
    } else {
        return;
    }
    if (m_game && m_game->isRunning() && m_game != m_playerGame)
        closeMatchGame(tr("Search cancelled: the match's game closed"));
    if (before == Searching)
        setPhase(Idle, tr("Search cancelled"));
}

void MatchController::onMatchCancelled(const QJsonObject &msg)
{
    if (m_match.found.isEmpty() || msg.value(QStringLiteral("match")).toString() != matchId())
        return;
    const bool requeued = msg.value(QStringLiteral("requeued")).toBool();
    const QString reason = msg.value(QStringLiteral("reason")).toString();
    const QString text = matchrules::cancelReasonText(reason);
    m_rendezvous->stop();
    if (gameHoldsMatch() && !requeued) {
        // The game took the match already: it leaves it as at the end of a match without a result.
        log(tr("Match %1 was called off while the game holds it: the game is told to leave it")
                .arg(matchId()));
        emit matchCancelled(reason, requeued);
        matchOver(tr("Match cancelled: %1").arg(text));
        return;
    }
    leaveMatchInHand(tr("called off by the server: %1").arg(text));
    replaceMatch();
    emit matchCancelled(reason, requeued);
    if (requeued) {
        setPhase(Searching, tr("Back in the queue: %1").arg(text));
        m_keepAlive.start(m_timing.keepAliveMs);
        if (bindGamePort())
            sendHello(QString(), 2000);
    } else {
        setPhase(Idle, tr("Match cancelled: %1").arg(text));
    }
}

void MatchController::onServerState(ServerClient::State state)
{
    if (state != ServerClient::Offline)
        return;
    if (m_phase == Searching || m_phase == Found || m_phase == Connecting) {
        m_rendezvous->stop();
        replaceMatch();
        setPhase(Idle, tr("Lost the server connection"));
    }
}

void MatchController::onHelloTimedOut()
{
    if (m_udpFallback)
        return;
    log(tr("The server did not answer on UDP (is UDP port %1 blocked by a firewall or a VPN?): matches go "
           "through the server's connection instead")
            .arg(cfg::gamePort()));
    m_udpFallback = true;
    if (m_phase == Found || m_phase == Connecting)
        requestTunnel();
}

void MatchController::onHelloAcked()
{
    if (!m_udpFallback)
        return;
    m_udpFallback = false;
    log(tr("The server answers on UDP again: matches go the usual way"));
}

void MatchController::gameLeftOnlineMenu()
{
    switch (m_phase) {
    case Searching:
        log(tr("The game left its online menu: the search stops"));
        cancel();
        emit notice(tr("You left the online menu, so the search stopped."));
        break;
    case Found:
    case Connecting:
        log(tr("The game left its online menu: the match found is declined"));
        decline();
        emit notice(tr("You left the online menu, so the match was called off."));
        break;
    case Starting:
        if (m_match.pendingStart.isEmpty() || m_match.inPlace)
            break;
        log(tr("The game left its online menu before it took the match's start: the match is left"));
        m_match.pendingStart.clear();
        reportResult({{QStringLiteral("outcome"), QStringLiteral("left")},
                      {QStringLiteral("exit"), QStringLiteral("left the online menu")}});
        replaceMatch();
        handOverFeed();
        setPhase(Idle, tr("Match left: the game was away from its online menu"));
        emit notice(tr("You left the online menu before the match started, so it was called off."));
        break;
    default:
        break;
    }
}
