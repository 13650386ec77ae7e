// The match's start in the player's game: the start line at the hold point, the start timeout,
// and the game's status words during a match.

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "match/gamelogreading.h"
#include "match/matchcontroller.h"
#include "match/matchreports.h"
#include "match/matchrules.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"
#include "match/seriesrules.h"
#include "net/udprendezvous.h"

void MatchController::onMatchGo(const QJsonObject &msg)
{
    if (m_match.found.isEmpty() || msg.value(QStringLiteral("match")).toString() != matchId())
        return;
    m_match.go = msg;
    if (m_match.inPlace) {
        if (m_game && m_game->isRunning()) {
            m_game->sendCommand(
                matchrules::rematchLine(msg, m_seriesFlow->choiceRule(), seriesrules::seriesKeys(msg)));
            m_match.startSent = true;
        }
        m_watchFlow->moveFeed(msg.value(QStringLiteral("match")).toString());
        setPhase(Starting,
                 tr("Starting the next match against %1 from the result screen...").arg(opponentName()));
        emit matchStarted(msg);
        m_match.characters.clear();
        m_match.startTimer->start(startTimeoutOf(msg));
        return;
    }
    m_rendezvous->stop(); // the game takes the game port now
    const matchrules::Delay delay = matchrules::matchDelay(msg, cfg::inputDelay(), opponentName());
    m_match.delay = delay.frames;
    matchrules::StartExtras extras;
    extras.gamePort = cfg::gamePort();
    extras.delay = delay.frames;
    extras.choose = m_seriesFlow->choiceRule();
    extras.seriesKeys = seriesrules::seriesKeys(m_match.go);
    extras.feedEndpoint = m_watchFlow->openFeed(msg);
    m_match.pendingStart = matchrules::startLine(msg, extras);
    setPhase(Starting, tr("Starting the match against %1 (ping %2 ms, input delay %3: %4)...")
                           .arg(opponentName())
                           .arg(msg.value(QStringLiteral("rtt_ms")).toInt(-1))
                           .arg(cfg::delayLabel(delay.frames), delay.reason));
    emit matchStarted(msg);
    m_match.characters.clear();
    m_match.startTimer->start(startTimeoutOf(msg) + m_timing.startHoldExtraMs);
    tryHoldPoint();
}

int MatchController::startTimeoutOf(const QJsonObject &go) const
{
    return matchrules::picksInGame(go) ? m_timing.startPickMs : m_timing.startFixedMs;
}

void MatchController::tryHoldPoint()
{
    if (m_match.pendingStart.isEmpty() || !m_game)
        return;
    if (m_game->statusWord() != QLatin1String("ready")) {
        log(tr("Waiting for the game to reach its hold point (status: %1)").arg(m_game->lastStatus()));
        return;
    }
    m_game->sendCommand(m_match.pendingStart);
    m_match.pendingStart.clear();
    m_match.startSent = true;
    if (m_phase == Starting)
        m_match.startTimer->start(startTimeoutOf(m_match.go));
}

void MatchController::onGameStatus(const QString &line)
{
    emit gameStatusChanged(line);
    const QString word = matchrules::parseStatus(line).word;
    if (m_phase == Watching) {
        m_watchFlow->onStatus(line); // the watch reads its own words
        return;
    }
    if (word == QLatin1String("ready") || word == QLatin1String("away"))
        m_seriesFlow->gameBack();
    if (word == QLatin1String("chose")) {
        onChoseStatus(line);
        return;
    }
    if (m_phase == Finishing || m_phase == AtResult) {
        if (word == QLatin1String("ready") || word == QLatin1String("away")) {
            if (m_phase == Finishing)
                leaveFinishing();
            else
                m_seriesFlow->gameLeftResultScreen();
        }
        return;
    }
    if (word == QLatin1String("away")) {
        if (isInOnlineMenu())
            gameLeftOnlineMenu();
        return;
    }
    if (word == QLatin1String("ready")) {
        tryHoldPoint();
        m_seriesFlow->sendPendingReady();
        return;
    }
    onMatchStatus(line);
}

void MatchController::onChoseStatus(const QString &line)
{
    // The loser's choice at the result screen may come before the server's verdict.
    if (m_match.go.isEmpty() ||
        (m_phase != Starting && m_phase != Playing && m_phase != Reporting && m_phase != AtResult))
        return;
    const matchrules::StatusLine status = matchrules::parseStatus(line);
    if (status.values.contains(QStringLiteral("match")) &&
        status.values.value(QStringLiteral("match")) != m_match.goId())
        return;
    m_seriesFlow->onChose(status.values.value(QStringLiteral("choice")),
                          status.values.value(QStringLiteral("chooser")).toInt());
}

void MatchController::onMatchStatus(const QString &line)
{
    if ((m_phase != Starting && m_phase != Playing) || m_match.go.isEmpty())
        return;
    const matchrules::StatusLine status = matchrules::parseStatus(line);
    const QString id = m_match.go.value(QStringLiteral("match")).toString();
    const bool belongs = !status.values.contains(QStringLiteral("match")) ||
                         status.values.value(QStringLiteral("match")) == id;
    const QString &word = status.word;

    if (belongs && status.values.contains(QStringLiteral("refused"))) {
        const int n = status.values.value(QStringLiteral("refused")).toInt();
        const qsizetype marker = line.indexOf(QLatin1String(" refused_why="));
        if (n > m_match.refusedSeen && marker >= 0) {
            m_match.refusedSeen = n;
            reportPickRefusal(line.mid(marker + 13));
        }
    }
    if (word == QLatin1String("error")) {
        if (line.startsWith(QLatin1String("error exited"))) {
            gameEndedDuringMatch();
            return;
        }
        if (line.contains(QLatin1String("created character from the other PC was refused")))
            reportPickRefusal(line.mid(6));
        reportResult({{QStringLiteral("outcome"), QStringLiteral("error")}});
        return;
    }
    if (!belongs)
        return;
    if (word == QLatin1String("in_match")) {
        const bool again = status.values.contains(QStringLiteral("again"));
        if (m_phase == Starting) {
            m_match.startTimer->stop();
            m_match.againSeen = 0;
            setPhase(Playing, tr("In match against %1").arg(opponentName()));
            m_server->send({{QStringLiteral("type"), QStringLiteral("match_state")},
                            {QStringLiteral("match"), id},
                            {QStringLiteral("state"), QStringLiteral("in_match")}});
        } else if (m_phase == Playing && again) {
            const int n = status.values.value(QStringLiteral("again")).toInt();
            if (n > m_match.againSeen) {
                m_match.againSeen = n;
                log(tr("The two games went out of step and played the round again"));
                m_reports->reportDesync(status.values.value(QStringLiteral("again_frame")).toInt(), true);
            }
        }
    } else if (word == QLatin1String("result")) {
        QJsonObject result{
            {QStringLiteral("winner"), status.values.value(QStringLiteral("winner")).toInt()},
            {QStringLiteral("p1_rounds"), status.values.value(QStringLiteral("p1_rounds")).toInt()},
            {QStringLiteral("p2_rounds"), status.values.value(QStringLiteral("p2_rounds")).toInt()}};
        const QString c1 = status.values.value(QStringLiteral("p1_char"));
        const QString c2 = status.values.value(QStringLiteral("p2_char"));
        if (!c1.isEmpty())
            result.insert(QStringLiteral("p1_char"), c1);
        if (!c2.isEmpty())
            result.insert(QStringLiteral("p2_char"), c2);
        if (!c1.isEmpty() && !c2.isEmpty() && !m_match.reported)
            m_match.characters = QStringList{c1, c2};
        reportResult(result);
    } else if (word == QLatin1String("sparring_over")) {
        reportResult({{QStringLiteral("outcome"), QStringLiteral("sparring")}});
    } else if (word == QLatin1String("desync")) {
        const int frame = status.values.value(QStringLiteral("frame")).toInt();
        const bool first = !m_match.reported;
        reportResult(
            {{QStringLiteral("outcome"), QStringLiteral("desync")}, {QStringLiteral("frame"), frame}});
        if (first)
            m_reports->reportDesync(frame, false);
    } else if (word == QLatin1String("disconnected")) {
        reportResult({{QStringLiteral("outcome"), QStringLiteral("disconnected")}});
    }
}

void MatchController::reportPickRefusal(const QString &reason)
{
    const QString text = gamelog::anonymiseLine(reason);
    log(tr("A created character was held back at the select screen: %1").arg(text));
    if (m_game && m_server->state() == ServerClient::LoggedIn &&
        m_server->hasFeature(QStringLiteral("pick_refused")) && !text.isEmpty()) {
        m_server->send(
            {{QStringLiteral("type"), QStringLiteral("pick_refused")},
             {QStringLiteral("game"), m_match.go.value(QStringLiteral("game")).toString()},
             {QStringLiteral("match"), m_match.go.value(QStringLiteral("match")).toString().left(64)},
             {QStringLiteral("reason"), text}});
    }
}

void MatchController::onStartTimeout()
{
    if (m_phase != Starting)
        return;
    log(tr("The game did not start the match within %1 s.").arg(m_match.startTimer->interval() / 1000));
    reportResult({{QStringLiteral("outcome"), QStringLiteral("error")}});
}
