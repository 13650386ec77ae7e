// The player's own game: started with PLAY, it plays every online match. The controller never
// starts a game for a search or a match, and never closes the player's game.

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "match/localtest.h"
#include "match/matchcontroller.h"
#include "match/matchreports.h"

#include <QDir>

bool MatchController::startPlayerGame(QString *reason)
{
    if (m_game && m_game->isRunning() && m_game->isMenuGame())
        return true;
    const QString gameId = QStringLiteral("orx");
    if (!prepCheck(gameId, reason))
        return false;
    dropMatchGame();
    auto *game = new GameProcess(gameId, 1, this);
    game->setMenuGame(true);
    // First: the watcher reads the phase before the controller's own reaction to the game's end.
    m_reports->watchGame(game, QString());
    connect(game, &GameProcess::statusChanged, this, &MatchController::onGameStatus);
    connect(game, &GameProcess::exited, this, &MatchController::onGameExited);
    QString error;
    if (!game->start(cfg::gameExe(gameId), &error, true)) {
        delete game;
        if (reason)
            *reason = error;
        return false;
    }
    m_game = game;
    m_playerGame = game;
    log(tr("Your game is starting (session %1)").arg(QDir::toNativeSeparators(game->sessionDir())));
    emit playerGameChanged(true);
    emit gameStatusChanged(gameStatusText());
    return true;
}

void MatchController::dropMatchGame()
{
    if (!m_game)
        return;
    GameProcess *old = m_game;
    m_game = nullptr;
    disconnect(old, nullptr, this, nullptr);
    if (old->isRunning())
        old->quit();
    old->deleteLater();
}

bool MatchController::usePlayerGame(const QString &gameId, QString *reason)
{
    if (!gameCheck(gameId, reason))
        return false;
    m_playerGame = m_game;
    return true;
}

bool MatchController::isInOnlineMenu() const
{
    return m_game && m_game->isMenuGame() && m_game->isRunning();
}

bool MatchController::gameCheck(const QString &gameId, QString *reason) const
{
    if (m_phase == Finishing) {
        if (reason)
            *reason = tr("Your game is still playing the last match's ending: a moment.");
        return false;
    }
    if (m_game && m_game->isRunning() && m_game->gameId() == gameId)
        return true;
    if (reason)
        *reason = tr("Your game is not running: press PLAY in Orvex Rovivi to start it.");
    return false;
}

GameProcess *MatchController::gameForMatch(const QJsonObject &msg, QString *reason) const
{
    return gameCheck(msg.value(QStringLiteral("game")).toString(), reason) ? m_game.data() : nullptr;
}

void MatchController::closeMatchGame(const QString &reason)
{
    // The match game is the player's own: it stays open, only the log tells what would have closed.
    log(reason.section(QLatin1Char(':'), 0, 0) + tr(" (your game stays open)"));
}

QString MatchController::gameStatusText() const
{
    if (m_phase == LocalTest)
        return m_localTest->statusText();
    if (m_game && !m_game->lastStatus().isEmpty())
        return m_game->lastStatus();
    return tr("not running");
}

GameProcess *MatchController::matchGame() const
{
    return m_game.data();
}
