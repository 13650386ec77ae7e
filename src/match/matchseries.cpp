// Series, rematches and lobby matches: the result screen, the choices, readiness for the next
// match, parking and leaving a lobby.

#include "match/matchseries.h"

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "match/matchhost.h"

MatchSeries::MatchSeries(MatchHost *host, QObject *parent) : QObject(parent), m_h(host)
{
    m_parkCheck.setSingleShot(true);
    connect(&m_parkCheck, &QTimer::timeout, this, &MatchSeries::parkCheck);
    m_reconnectCheck.setSingleShot(true);
    connect(&m_reconnectCheck, &QTimer::timeout, this, &MatchSeries::reconnectCheck);
}

bool MatchSeries::choiceRule() const
{
    return m_h->match().found.value(QStringLiteral("result_choice")).toBool() && pathAllowsChoice();
}

bool MatchSeries::pathAllowsChoice() const
{
    return seriesrules::pathAllowsChoice(m_h->lastPath(), m_h->tunnelled(),
                                         m_h->server()->hasFeature(QStringLiteral("relay_choice")));
}

// ---- The result screen ----

bool MatchSeries::enterResultScreen(const QJsonObject &result)
{
    MatchState &m = m_h->match();
    const bool pathAllows = pathAllowsChoice();
    const bool choose = choiceRule();
    seriesrules::ResultScreenFacts facts;
    facts.status = result.value(QStringLiteral("status")).toString();
    facts.lobby = !m.found.value(QStringLiteral("lobby")).toString().isEmpty();
    facts.playersChoose = choose;
    facts.pathAllows = pathAllows;
    facts.gameRunning = m_h->game() && m_h->game()->isRunning();
    facts.gameWord = m_h->game() ? m_h->game()->statusWord() : QString();
    facts.watching = m_h->watching();
    if (!seriesrules::entersResultScreen(facts))
        return false;
    m.ackTimer->stop();
    m.startTimer->stop();
    m.pendingStart.clear();
    m.endText.clear();
    m.inPlace = false;
    m.playersChoose = choose;
    m.choiceExpected = choose;
    m.resultChooser = seriesrules::chooserOf(result);
    m.resultTimer->start(choose ? m_h->timing().resultChooseMs : m_h->timing().resultScreenMs);
    m_h->setPhase(MatchController::AtResult,
                  choose ? tr("Match over: the loser chooses REMATCH, CHARACTER SELECT or LEAVE in the game")
                         : tr("Match over: your game waits at its result screen"));
    if (!m.gameChoice.isEmpty())
        applyChoice();
    return true;
}

void MatchSeries::resultScreenTimedOut()
{
    if (m_h->phase() != MatchController::AtResult)
        return;
    if (m_series.value(QStringLiteral("state")).toString() != QLatin1String("between"))
        m_h->matchOver();
}

void MatchSeries::onChose(const QString &choice, int chooser)
{
    if (choice != QLatin1String("rematch") && choice != QLatin1String("select") &&
        choice != QLatin1String("leave"))
        return;
    m_h->match().gameChoice = choice;
    m_h->match().gameChooser = chooser;
    if (m_h->phase() == MatchController::AtResult)
        applyChoice();
}

void MatchSeries::applyChoice()
{
    MatchState &m = m_h->match();
    if (m_h->phase() != MatchController::AtResult || !m.playersChoose || m.gameChoice.isEmpty() ||
        m_h->server()->state() != ServerClient::LoggedIn)
        return;
    const bool lobby = !m.found.value(QStringLiteral("lobby")).toString().isEmpty();
    // A series choice waits until the server's series state allows it.
    if (!lobby && (!m_seriesSinceLogin ||
                   m_series.value(QStringLiteral("state")).toString() != QLatin1String("between")))
        return;
    int chooser = m.resultChooser;
    if (chooser != 0 && m.gameChooser != 0 && m.gameChooser != chooser)
        m_h->log(tr("The game says player %1 chose, the result says player %2: the result's is taken")
                     .arg(m.gameChooser)
                     .arg(chooser));
    if (chooser == 0)
        chooser = m.gameChooser;
    const QString choice = m.gameChoice;
    m.gameChoice.clear();
    m.playersChoose = false;
    m.choiceExpected = false;

    if (choice == QLatin1String("leave")) {
        const bool mine = chooser == m.go.value(QStringLiteral("side")).toInt();
        m_h->log(mine ? tr("You chose LEAVE on the result screen")
                      : tr("%1 chose LEAVE on the result screen").arg(m_h->opponentName()));
        const bool ranked = m_series.value(QStringLiteral("ranked")).toBool();
        const QString seriesId = m_series.value(QStringLiteral("series")).toString();
        m_h->matchOver();
        if (lobby)
            return;
        if (mine) {
            m_readyPending = false;
            if (!seriesId.isEmpty())
                m_h->server()->send({{QStringLiteral("type"), QStringLiteral("series_ready")},
                                     {QStringLiteral("series"), seriesId},
                                     {QStringLiteral("ready"), false}});
        } else if (ranked) {
            setPending(QStringLiteral("select"));
            sendPendingReady();
        }
        return;
    }
    const QString text = choice == QLatin1String("select")
                             ? tr("Character Select chosen: the next match starts from the result screen")
                             : tr("Rematch chosen: the next match starts from the result screen");
    if (lobby) {
        m.resultTimer->start(m_h->timing().lobbyChoiceMs);
        sendLobbyReady(choice);
        m_h->setPhase(MatchController::AtResult, text);
        return;
    }
    if (!m_series.isEmpty()) {
        setPending(choice);
        sendPendingReady();
    }
    m_h->setPhase(MatchController::AtResult, text);
}

void MatchSeries::sendLobbyReady(const QString &choice)
{
    QJsonObject ready{{QStringLiteral("type"), QStringLiteral("lobby_ready")},
                      {QStringLiteral("ready"), true},
                      {QStringLiteral("relay"), cfg::hideIp()},
                      {QStringLiteral("hide_always"), cfg::hideIpAlways()},
                      {QStringLiteral("link"), m_h->server()->linkType()},
                      {QStringLiteral("in_place"), true},
                      {QStringLiteral("choice"), choice}};
    const int delay = cfg::inputDelay();
    cfg::putDelay(ready, delay < 0 ? -1 : delay);
    const int rtt = m_h->serverRtt();
    if (rtt >= 0)
        ready.insert(QStringLiteral("server_rtt"), rtt);
    m_h->server()->send(ready);
}

void MatchSeries::gameLeftResultScreen()
{
    MatchState &m = m_h->match();
    m.resultTimer->stop();
    const bool expected = m.choiceExpected;
    m.playersChoose = false;
    m.choiceExpected = false;
    m.gameChoice.clear();
    if (expected && m_series.value(QStringLiteral("state")).toString() == QLatin1String("between") &&
        !m_series.value(QStringLiteral("you_ready")).toBool() && !m_readyPending)
        setPending(QStringLiteral("select"));
    // The result screen's match ends here as at any other end: its feed goes, and nothing of it
    // stays in hand. A next match found meanwhile (waiting for the game port) stays in hand.
    if (m.verdictSeen) {
        m_h->replaceMatch();
        m_h->handOverFeed();
    }
    m_h->setPhase(MatchController::Idle, tr("Match over"));
}

// ---- Readiness for the next match of a series ----

void MatchSeries::setPending(const QString &choice)
{
    m_readyPending = true;
    m_readyChoice = choice;
}

void MatchSeries::setSeriesReady(bool ready, const QString &choice)
{
    if (m_series.isEmpty())
        return;
    if (ready) {
        setPending(choice);
        sendPendingReady();
        return;
    }
    m_readyPending = false;
    m_h->server()->send({{QStringLiteral("type"), QStringLiteral("series_ready")},
                         {QStringLiteral("series"), m_series.value(QStringLiteral("series")).toString()},
                         {QStringLiteral("ready"), false}});
}

void MatchSeries::sendPendingReady()
{
    const MatchController::Phase phase = m_h->phase();
    if (!m_readyPending || (phase != MatchController::Idle && phase != MatchController::AtResult) ||
        m_series.value(QStringLiteral("state")).toString() != QLatin1String("between") ||
        m_h->server()->state() != ServerClient::LoggedIn)
        return;
    // A game away from its online menu is not ready for anything: wait until it comes back.
    if (m_h->isInOnlineMenu() && m_h->game()->statusWord() == QLatin1String("away"))
        return;
    m_readyPending = false;
    m_lastReady.choice = m_readyChoice;
    m_lastReady.series = m_series.value(QStringLiteral("series")).toString();
    m_lastReady.played = m_series.value(QStringLiteral("played")).toInt();
    m_h->server()->send({{QStringLiteral("type"), QStringLiteral("series_ready")},
                         {QStringLiteral("series"), m_lastReady.series},
                         {QStringLiteral("ready"), true},
                         {QStringLiteral("choice"), m_readyChoice},
                         {QStringLiteral("in_place"), phase == MatchController::AtResult}});
}

void MatchSeries::onSeries(const QJsonObject &msg)
{
    m_series = msg;
    m_seriesSinceLogin = true;
    const seriesrules::Restore restore =
        seriesrules::restoreReady(msg, m_readyPending, m_lastReady, m_h->match().choiceExpected);
    if (restore.pending) {
        setPending(restore.choice);
        if (restore.again)
            m_h->log(tr("Ready again for the next match (%1), as before the connection dropped")
                         .arg(restore.choice));
    }
    const QString state = msg.value(QStringLiteral("state")).toString();
    if (m_h->phase() == MatchController::AtResult) {
        if (state == QLatin1String("between")) {
            m_h->match().resultTimer->stop();
            if (m_h->match().playersChoose)
                applyChoice();
        } else if (state == QLatin1String("over")) {
            m_h->matchOver();
        }
    }
    if (state == QLatin1String("over"))
        m_readyPending = false;
    emit seriesChanged(msg);
    if (state == QLatin1String("over"))
        m_series = QJsonObject();
    sendPendingReady();
}

// ---- Lobbies ----

void MatchSeries::onLobby(const QJsonObject &msg)
{
    if (m_h->phase() != MatchController::AtResult)
        return;
    const QString opponent = m_h->opponentRawName();
    if (!seriesrules::opponentLeftLobby(msg, m_h->match().found, opponent))
        return;
    m_h->log(tr("%1 left the lobby while the next match was being chosen: the game leaves its result screen")
                 .arg(opponent));
    m_h->matchOver();
    emit notice(
        tr("%1 left the lobby, so there is no next match. Your game goes back to the lobby.").arg(opponent));
}

void MatchSeries::leaveLobby()
{
    m_h->forgetPlayerGame();
    const MatchState &m = m_h->match();
    const bool lobbyMatch = !m.found.value(QStringLiteral("lobby")).toString().isEmpty();
    if (m_h->isInOnlineMenu() && lobbyMatch) {
        const MatchController::Phase phase = m_h->phase();
        if (phase == MatchController::Starting || phase == MatchController::Playing) {
            m_h->log(
                tr("Left the lobby: its match ends for you, and your game goes back to its online menu"));
            m_h->match().pendingStart.clear();
            m_h->reportResult({{QStringLiteral("outcome"), QStringLiteral("left")},
                               {QStringLiteral("exit"), QStringLiteral("left the lobby")}});
            parkGame();
        } else if (phase == MatchController::AtResult) {
            m_h->matchOver();
        }
    }
    m_leftLobby = true;
    m_quitLogged = false;
    afterPhaseChange();
}

void MatchSeries::lobbyLeft()
{
    m_h->stopWatchingAll();
    if (m_h->phase() == MatchController::AtResult &&
        !m_h->match().found.value(QStringLiteral("lobby")).toString().isEmpty())
        m_h->matchOver();
}

void MatchSeries::afterPhaseChange()
{
    if (!m_leftLobby)
        return;
    const MatchController::Phase phase = m_h->phase();
    const bool lobbyMatch = !m_h->match().found.value(QStringLiteral("lobby")).toString().isEmpty();
    GameProcess *game = m_h->game();
    // A watch that ended has parked the game already: a spectator's game stays open, as everywhere
    // else a lobby is left.
    if (((phase == MatchController::Starting || phase == MatchController::Playing) && lobbyMatch) ||
        (phase == MatchController::Finishing && !m_h->match().watch)) {
        if (game && game->isRunning()) {
            if (!m_quitLogged) {
                m_quitLogged = true;
                m_h->log(tr("Left the lobby: its match ends and its game closes"));
            }
            game->quit();
        }
    } else if (phase == MatchController::AtResult && m_h->match().playersChoose) {
        m_h->matchOver();
    } else if (phase == MatchController::Idle && m_series.isEmpty() && !m_h->lobbyMatchesToWatch()) {
        m_leftLobby = false;
        if (game && game->isRunning())
            m_h->closeMatchGame(tr("Left the lobby: its game closes"));
    }
}

// ---- Parking ----

void MatchSeries::parkGame()
{
    // Back to the online menu: the game leaves its match or result screen and frees the game port.
    GameProcess *game = m_h->game();
    if (!game || !game->isRunning())
        return;
    game->sendCommand(QStringLiteral("park"));
    m_parkClock.start();
    m_parkCheck.start(m_h->timing().parkCheckMs);
}

void MatchSeries::parkCheck()
{
    GameProcess *game = m_h->game();
    if (!game || !game->isRunning())
        return;
    const QString word = game->statusWord();
    if (word == QLatin1String("starting") || word == QLatin1String("booting") ||
        word == QLatin1String("ready") || word == QLatin1String("away"))
        return;
    const MatchController::Phase phase = m_h->phase();
    const bool beforeStart = phase == MatchController::Idle || phase == MatchController::Searching ||
                             phase == MatchController::Found || phase == MatchController::Connecting ||
                             (phase == MatchController::Starting && !m_h->match().pendingStart.isEmpty());
    if (beforeStart && m_parkClock.isValid() && m_parkClock.elapsed() >= m_h->timing().parkAgainMs) {
        m_h->log(tr("The game did not come back to its online menu %1 s after the park (it says \"%2\"): "
                    "parked again")
                     .arg(m_parkClock.elapsed() / 1000)
                     .arg(game->lastStatus()));
        game->sendCommand(QStringLiteral("park"));
        m_parkClock.start();
        emit notice(
            tr("Your game did not go back to its online menu after the last match. If it stays stuck, "
               "close the game and press PLAY again."));
        return;
    }
    m_parkCheck.start(m_h->timing().parkCheckEveryMs);
}

// ---- Back on the server ----

void MatchSeries::backOnServer()
{
    m_seriesSinceLogin = false;
    const bool atResult = m_h->phase() == MatchController::AtResult;
    if (atResult && !m_h->match().found.value(QStringLiteral("lobby")).toString().isEmpty()) {
        m_h->log(tr(
            "Back on the server after a dropped connection: the lobby's next match is off, the game parks"));
        m_h->matchOver();
        emit notice(tr("Your connection to the server dropped after the match. Get ready again in the "
                       "lobby for the next one."));
    }
    // The server names a series it still has at once; its "over" may have gone to the dropped
    // connection, whatever the phase was then.
    if (atResult || !m_series.isEmpty())
        m_reconnectCheck.start(m_h->timing().reconnectCheckMs);
}

void MatchSeries::verdictAfterReturn()
{
    // A verdict said again after a dropped connection, with no series message since: the series
    // may have ended meanwhile, which the check below finds out as after any return.
    if (m_h->phase() == MatchController::AtResult && !m_seriesSinceLogin &&
        m_h->match().found.value(QStringLiteral("lobby")).toString().isEmpty())
        m_reconnectCheck.start(m_h->timing().reconnectCheckMs);
}

void MatchSeries::reconnectCheck()
{
    if (m_seriesSinceLogin)
        return;
    const MatchController::Phase phase = m_h->phase();
    if (phase == MatchController::AtResult && m_h->match().playersChoose &&
        m_h->match().found.value(QStringLiteral("lobby")).toString().isEmpty()) {
        const QString opponent = m_h->opponentName();
        m_h->log(tr("Back on the server: the series against %1 is over, the game leaves its result screen")
                     .arg(opponent));
        m_series = QJsonObject();
        m_readyPending = false;
        emit seriesChanged(m_series);
        m_h->matchOver();
        emit notice(
            tr("Your connection to the server dropped, and the series against %1 ended meanwhile. Your game "
               "goes back to its online menu.")
                .arg(opponent));
        return;
    }
    if (m_series.isEmpty())
        return;
    m_series = QJsonObject();
    m_readyPending = false;
    emit seriesChanged(m_series);
    if (phase == MatchController::Idle)
        afterPhaseChange();
}
