// The result of a match: reporting it once, the server's verdict, the end of the match, the game's
// exit during a match, and the result kept while the server connection is down.

#include "game/gameprocess.h"
#include "match/gamelogreading.h"
#include "match/matchcontroller.h"
#include "match/matchrules.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"

#include <QJsonArray>

void MatchController::reportResult(QJsonObject result)
{
    if (m_match.reported || m_match.go.isEmpty())
        return;
    m_match.reported = true;
    m_match.startTimer->stop();
    const QString id = m_match.go.value(QStringLiteral("match")).toString();
    result.insert(QStringLiteral("type"), QStringLiteral("result"));
    result.insert(QStringLiteral("match"), id);
    // Kept until acknowledged: a connection that drops right after sending may have lost it.
    m_storedResult = result;
    m_storedResultRequest = m_server->state() == ServerClient::LoggedIn ? m_server->send(result) : -1;
    const QString summary = matchrules::resultSummary(result);
    setPhase(Reporting, tr("Reporting the result (%1)...").arg(summary));
    m_match.ackTimer->start(m_timing.ackMs);
}

void MatchController::gameEndedDuringMatch()
{
    if (m_match.reported || m_match.go.isEmpty())
        return;
    QJsonObject result{{QStringLiteral("outcome"), QStringLiteral("left")}};
    if (m_game && !m_game->isRunning()) {
        const QString exit = m_seriesFlow->leftLobby() ? QStringLiteral("left the lobby")
                                                       : gamelog::exitClassification(m_game->sessionDir());
        result.insert(QStringLiteral("exit"), exit);
        result.insert(QStringLiteral("exit_code"), m_game->exitCode());
        log(tr("Your game ended during the match (%1, exit code %2)").arg(exit).arg(m_game->exitCode()));
        if (m_phase == Starting)
            result.insert(QStringLiteral("lines"),
                          QJsonArray::fromStringList(gamelog::logTail(m_game->sessionDir(), 20)));
    }
    reportResult(result);
}

void MatchController::onMatchResult(const QJsonObject &msg)
{
    if (m_match.go.isEmpty() ||
        msg.value(QStringLiteral("match")).toString() !=
            m_match.go.value(QStringLiteral("match")).toString() ||
        m_match.verdictSeen)
        return; // another match's, or said again to a launcher that came back
    m_match.verdictSeen = true;
    m_match.ackTimer->stop();
    if (m_storedResult.value(QStringLiteral("match")) == msg.value(QStringLiteral("match")))
        m_storedResult = QJsonObject(); // decided: nothing left to send
    const QJsonObject result = matchrules::resultPayload(msg, m_match.go, m_match.characters);
    emit matchFinished(result);
    if (!enterResultScreen(result))
        matchOver();
    else
        m_seriesFlow->verdictAfterReturn();
}

void MatchController::onResultAck(const QJsonObject &msg)
{
    // Only the first: a result sent again after a dropped connection is acknowledged again.
    const QString id = msg.value(QStringLiteral("match")).toString();
    if (m_storedResult.isEmpty() || m_storedResult.value(QStringLiteral("match")).toString() != id)
        return;
    m_storedResult = QJsonObject();
    log(tr("Result of %1 acknowledged by the server").arg(id));
}

void MatchController::resultUnknownToServer(const QJsonObject &error)
{
    // The answer to our last sending of the kept result: a server that restarted, or one that
    // ended the match long ago, has no match to count it in.
    if (m_storedResult.isEmpty() || m_storedResultRequest < 0 ||
        error.value(QStringLiteral("id")).toInteger(-1) != m_storedResultRequest)
        return;
    const QString id = m_storedResult.value(QStringLiteral("match")).toString();
    m_storedResult = QJsonObject();
    log(tr("The server no longer knows match %1; its result was not recorded").arg(id));
    if (m_phase == Reporting && m_match.goId() == id) {
        m_match.ackTimer->stop();
        matchOver();
    }
}

void MatchController::matchOver(const QString &endText)
{
    replaceMatch();
    m_match.endText = endText;
    const QString word = m_game ? m_game->statusWord() : QString();
    if (!m_game || !m_game->isRunning() || word == QLatin1String("ready") || word == QLatin1String("away")) {
        handOverFeed();
        setPhase(Idle, endText.isEmpty() ? tr("Match over") : endText);
        return;
    }
    parkGame();
    m_endingTimer.start(m_timing.endingMs);
    setPhase(Finishing, tr("Match over: the game plays its ending"));
}

void MatchController::parkGame()
{
    // Back to the online menu: the game leaves its match or result screen and frees the game port.
    if (!m_game || !m_game->isRunning())
        return;
    m_game->sendCommand(QStringLiteral("park"));
    m_parkClock.start();
    m_seriesFlow->startParkCheck();
}

void MatchController::leaveFinishing()
{
    m_endingTimer.stop();
    handOverFeed();
    m_watchFlow->dropWatchLink();
    const QString text = m_match.endText.isEmpty() ? tr("Match over") : m_match.endText;
    m_match.endText.clear();
    setPhase(Idle, text);
}

void MatchController::onGameExited(int exitCode, bool crashed)
{
    Q_UNUSED(exitCode);
    Q_UNUSED(crashed);
    if (sender() == m_game)
        emit playerGameChanged(false);
    switch (m_phase) {
    case Searching:
        log(tr("The game closed; leaving the queue."));
        cancel();
        break;
    case Found:
    case Connecting:
        decline();
        break;
    case Starting:
    case Playing:
        gameEndedDuringMatch();
        break;
    case Finishing:
        m_endingTimer.stop();
        handOverFeed();
        m_watchFlow->dropWatchLink();
        setPhase(Idle, tr("Match over"));
        break;
    case Watching:
        m_watchFlow->stopWatching(tr("The game closed while watching"));
        break;
    case AtResult:
        m_match.resultTimer->stop();
        handOverFeed();
        setPhase(Idle, tr("Match over"));
        break;
    default:
        break;
    }
}

void MatchController::onLoggedIn()
{
    if (!m_storedResult.isEmpty()) {
        const QJsonObject stored = m_storedResult;
        if ((m_storedResultRequest = m_server->send(stored)) >= 0) {
            log(tr("Sent the stored result of match %1")
                    .arg(stored.value(QStringLiteral("match")).toString()));
        }
    }
    m_seriesFlow->backOnServer();
}
