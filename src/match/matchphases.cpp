// The phase machine, the search and the match found with its accept and decline.

#include "core/cfg.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "match/codeprep.h"
#include "match/gamefiles.h"
#include "match/localtest.h"
#include "match/matchhost.h"
#include "match/matchreports.h"
#include "match/matchrules.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"
#include "match/resultkeeper.h"
#include "match/searchsession.h"
#include "net/tunnelbridge.h"
#include "net/udprendezvous.h"

#include <QHostAddress>

MatchController::MatchController(ServerClient *server, QObject *parent)
    : QObject(parent), m_server(server), m_rendezvous(new UdpRendezvous(this)), m_host(makeHost()),
      m_seriesFlow(new MatchSeries(m_host.get(), this)), m_watchFlow(new MatchWatch(m_host.get(), this)),
      m_search(new SearchSession(m_host.get(), this)), m_result(new ResultKeeper(server, this)),
      m_reports(new MatchReports(m_host.get(), this)), m_codePrep(new CodePrep(m_host.get(), this)),
      m_localTest(new ::LocalTest(m_host.get(), this))
{
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
    // What the objects hung off the controller have to say goes out through its signals.
    connect(m_seriesFlow, &MatchSeries::seriesChanged, this, &MatchController::seriesChanged);
    connect(m_seriesFlow, &MatchSeries::notice, this, &MatchController::notice);
    connect(m_watchFlow, &MatchWatch::gameShown, this, &MatchController::gameShown);
    connect(m_codePrep, &CodePrep::changed, this, &MatchController::codePrepChanged);
    connect(m_result, &ResultKeeper::logLine, this, &MatchController::log);
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
    m_search->phaseChanged(phase);
    if (m_bridge && !((phase >= Found && phase <= Finishing) || phase == AtResult))
        closeBridge();
    log(text);
    emit phaseChanged(phase, text);
    if (phase == Idle) {
        m_seriesFlow->sendPendingReady();
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

int MatchController::serverRtt() const
{
    const int udp = m_rendezvous->serverRoundTripMs();
    return udp >= 0 ? udp : m_server->roundTripMs();
}

bool MatchController::queue(const SearchRequest &request, QString *reason)
{
    return m_search->queue(request, reason);
}

bool MatchController::hasStoredResult() const
{
    return m_result->holds();
}

void MatchController::onServerMessage(const QJsonObject &msg)
{
    const QString type = msg.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("queued"))
        m_search->onQueued(msg);
    else if (type == QLatin1String("queue_left"))
        m_search->onQueueLeft(msg);
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
        m_result->onAck(msg);
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

QString MatchController::opponentRawName() const
{
    return m_match.found.value(QStringLiteral("opponent"))
        .toObject()
        .value(QStringLiteral("name"))
        .toString();
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
        m_seriesFlow->parkGame();
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
    m_watchFlow->handOverFeed();

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
        m_seriesFlow->parkGame();
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
        m_search->leave();
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
        m_search->requeued();
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
        m_watchFlow->handOverFeed();
        setPhase(Idle, tr("Match left: the game was away from its online menu"));
        emit notice(tr("You left the online menu before the match started, so it was called off."));
        break;
    default:
        break;
    }
}
