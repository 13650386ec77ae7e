// The result of a match: reporting it once, the server's verdict, the end of the match, the game's
// exit during a match, and the result kept while the server connection is down.

#include "game/gameprocess.h"
#include "match/gamelogreading.h"
#include "match/matchcontroller.h"
#include "match/matchrules.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"
#include "match/resultkeeper.h"

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
    m_result->keep(result);
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
    m_result->decided(msg.value(QStringLiteral("match")).toString());
    const QJsonObject result = matchrules::resultPayload(msg, m_match.go, m_match.characters);
    emit matchFinished(result);
    if (!m_seriesFlow->enterResultScreen(result))
        matchOver();
    else
        m_seriesFlow->verdictAfterReturn();
}

void MatchController::resultUnknownToServer(const QJsonObject &error)
{
    const QString id = m_result->unknownToServer(error);
    if (!id.isEmpty() && m_phase == Reporting && m_match.goId() == id) {
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
        m_watchFlow->handOverFeed();
        setPhase(Idle, endText.isEmpty() ? tr("Match over") : endText);
        return;
    }
    finishInGame(tr("Match over: the game plays its ending"));
}

void MatchController::finishInGame(const QString &text)
{
    m_seriesFlow->parkGame();
    m_endingTimer.start(m_timing.endingMs);
    setPhase(Finishing, text);
}

void MatchController::leaveFinishing()
{
    m_endingTimer.stop();
    m_watchFlow->handOverFeed();
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
        m_watchFlow->handOverFeed();
        m_watchFlow->dropWatchLink();
        setPhase(Idle, tr("Match over"));
        break;
    case Watching:
        m_watchFlow->stopWatching(tr("The game closed while watching"));
        break;
    case AtResult:
        m_match.resultTimer->stop();
        m_watchFlow->handOverFeed();
        setPhase(Idle, tr("Match over"));
        break;
    default:
        break;
    }
}

void MatchController::onLoggedIn()
{
    m_result->sendAgain();
    m_seriesFlow->backOnServer();
}
