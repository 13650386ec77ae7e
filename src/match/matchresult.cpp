// The result of a match: reporting it once, the server's verdict, the end of the match, the game's
// exit during a match, and the result kept while the server connection is down.

#include "game/gameprocess.h"
#include "match/gamelogreading.h"
#include "match/matchcontroller.h"

#include <QJsonArray>

void MatchController::reportResult(QJsonObject result)
{
    if (m_reported || m_matchGo.isEmpty())
        return;
    m_reported = true;
    m_startTimer.stop();
    const QString id = m_matchGo.value(QStringLiteral("match")).toString();
    result.insert(QStringLiteral("type"), QStringLiteral("result"));
    result.insert(QStringLiteral("match"), id);
    if (m_server->state() == ServerClient::LoggedIn && m_server->send(result) >= 0)
        m_storedResult = QJsonObject();
    else
        m_storedResult = result;
    QString summary;
    if (result.contains(QStringLiteral("winner"))) {
        const int winner = result.value(QStringLiteral("winner")).toInt();
        const int r1 = result.value(QStringLiteral("p1_rounds")).toInt();
        const int r2 = result.value(QStringLiteral("p2_rounds")).toInt();
        summary = winner != 0 ? tr("player %1 won %2-%3").arg(winner).arg(r1).arg(r2)
                              : tr("a draw %1-%2").arg(r1).arg(r2);
    } else {
        summary = result.value(QStringLiteral("outcome")).toString();
    }
    setPhase(Reporting, tr("Reporting the result (%1)...").arg(summary));
    m_ackTimer.start(m_timing.ackMs);
}

void MatchController::gameEndedDuringMatch()
{
    if (m_reported || m_matchGo.isEmpty())
        return;
    QJsonObject result{{QStringLiteral("outcome"), QStringLiteral("left")}};
    if (m_game && !m_game->isRunning()) {
        const QString exit = gamelog::exitClassification(m_game->sessionDir());
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
    if (m_matchGo.isEmpty() ||
        msg.value(QStringLiteral("match")).toString() != m_matchGo.value(QStringLiteral("match")).toString())
        return;
    m_ackTimer.stop();
    QJsonObject result = msg;
    const int side = m_matchGo.value(QStringLiteral("side")).toInt();
    result.insert(QStringLiteral("side"), side);
    result.insert(
        QStringLiteral("opponent"),
        m_matchGo.value(side == 1 ? QStringLiteral("p2_name") : QStringLiteral("p1_name")).toString());
    const int winner = msg.value(QStringLiteral("winner")).toInt();
    const bool draw = msg.value(QStringLiteral("status")).toString() == QLatin1String("draw");
    if (winner == 1 || winner == 2 || draw) {
        const int r1 = msg.value(QStringLiteral("p1_rounds")).toInt();
        const int r2 = msg.value(QStringLiteral("p2_rounds")).toInt();
        result.insert(QStringLiteral("score"), side == 2 ? QStringLiteral("%1-%2").arg(r2).arg(r1)
                                                         : QStringLiteral("%1-%2").arg(r1).arg(r2));
        if (!draw)
            result.insert(QStringLiteral("you_won"), winner == side);
    }
    if (m_characters.size() == 2) {
        result.insert(QStringLiteral("p1_char"), m_characters.at(0));
        result.insert(QStringLiteral("p2_char"), m_characters.at(1));
    }
    emit matchFinished(result);
    if (!enterResultScreen(result))
        matchOver();
}

void MatchController::onResultAck(const QJsonObject &msg)
{
    log(tr("Result of %1 acknowledged by the server").arg(msg.value(QStringLiteral("match")).toString()));
}

void MatchController::matchOver()
{
    m_ackTimer.stop();
    m_startTimer.stop();
    m_inPlace = false;
    m_matchGo = QJsonObject();
    m_currentMatch = QJsonObject();
    m_pendingStart.clear();
    m_endText.clear();
    const QString word = m_game ? m_game->statusWord() : QString();
    if (!m_game || !m_game->isRunning() || word == QLatin1String("ready") || word == QLatin1String("away")) {
        handOverFeed();
        setPhase(Idle, tr("Match over"));
        return;
    }
    parkGame();
    m_endingTimer.start(m_timing.endingMs);
    setPhase(Finishing, tr("Match over: the game plays its ending"));
}

void MatchController::leaveFinishing()
{
    m_endingTimer.stop();
    handOverFeed();
    const QString text = m_endText.isEmpty() ? tr("Match over") : m_endText;
    m_endText.clear();
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
        setPhase(Idle, tr("Match over"));
        break;
    case AtResult:
        handOverFeed();
        setPhase(Idle, tr("Match over"));
        break;
    default:
        break;
    }
}

void MatchController::onLoggedIn()
{
    if (m_storedResult.isEmpty())
        return;
    const QJsonObject stored = m_storedResult;
    if (m_server->send(stored) < 0)
        return;
    m_storedResult = QJsonObject();
    log(tr("Sent the stored result of match %1").arg(stored.value(QStringLiteral("match")).toString()));
}
