// The game's requests, checked against the server link, the match controller and the lobby: each
// one is carried out or refused in the player's words. Also the server's refusals of them, and the
// few requests the bridge makes by itself when the game leaves its menu or closes.

#include "bridge/bridgerules.h"
#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "core/log.h"
#include "gamedata/registry.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"

#include <QCoreApplication>
#include <QRandomGenerator>

namespace {

const QString kGame = QStringLiteral("orx");

QString tr(const char *text)
{
    return QCoreApplication::translate("MenuBridge", text);
}

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

using Phase = MatchController::Phase;

bool searching(Phase p)
{
    return p == MatchController::Searching || p == MatchController::Found;
}

// A match in hand or just over: no lobby may be made or joined meanwhile.
bool matchOnForLobby(Phase p)
{
    return (p >= MatchController::Connecting && p <= MatchController::Finishing) ||
           p == MatchController::Watching || p == MatchController::AtResult;
}

// A match being played or watched: nobody gets ready meanwhile.
bool matchOnForReady(Phase p)
{
    return (p >= MatchController::Connecting && p <= MatchController::Finishing) ||
           p == MatchController::Watching;
}

QString signInText()
{
    return tr("Sign in first, on Orvex Rovivi's Play page.");
}

QJsonObject typed(const char *type)
{
    return QJsonObject{{QStringLiteral("type"), QLatin1String(type)}};
}

} // namespace

void MenuBridge::handleRequest(const QString &line)
{
    appendLog(bridgerules::requestLogLine(line));
    const bridgerules::Request request = bridgerules::parseRequest(line);
    const QString &verb = request.verb;
    const QHash<QString, QString> &args = request.args;
    const Phase phase = m_match->phase();

    if (verb == QLatin1String("queue")) {
        requestQueue(args);
    } else if (verb == QLatin1String("cancel")) {
        requestCancel();
    } else if (verb == QLatin1String("accept") || verb == QLatin1String("decline")) {
        if (phase != MatchController::Found) {
            refuse(verb, tr("No match is waiting for an answer."));
        } else if (verb == QLatin1String("accept")) {
            m_accepted = true;
            m_match->accept();
        } else {
            m_match->decline();
        }
    } else if (verb == QLatin1String("leave")) {
        if (m_match->seriesFlow()->series().isEmpty())
            refuse(verb, tr("You are not in a set or a series."));
        else
            m_match->seriesFlow()->setSeriesReady(false, QStringLiteral("rematch"));
    } else if (verb == QLatin1String("side")) {
        const QString side = args.value(QStringLiteral("value"));
        if (side == QLatin1String("off") || side == QLatin1String("left") || side == QLatin1String("right"))
            cfg::set(QString::fromLatin1(cfg::keys::preferredSide.name), side);
        else
            refuse(verb, tr("The preferred side is off, left or right."));
    } else if (verb == QLatin1String("lobbies")) {
        requestLobbies();
    } else if (verb == QLatin1String("lobby_create")) {
        requestLobbyCreate(args);
    } else if (verb == QLatin1String("lobby_join")) {
        requestLobbyJoin(args);
    } else if (verb == QLatin1String("lobby_ready")) {
        requestLobbyReady(args);
    } else if (verb == QLatin1String("lobby_leave")) {
        if (!lobbyHeld()) {
            refuse(verb, tr("You are not in a lobby."));
        } else {
            // The lobby stays until the server confirms with "lobby_left".
            m_match->watchFlow()->stopWatchingAll();
            m_server->send(typed("lobby_leave"));
        }
    } else if (verb == QLatin1String("leaderboard")) {
        const ServerClient::State state = m_server->state();
        if (state != ServerClient::Rovivi && state != ServerClient::LoggedIn)
            refuse(verb, tr("Not connected to the server."));
        else
            m_server->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("leaderboard")},
                                       {QStringLiteral("game"), kGame},
                                       {QStringLiteral("mode"), QStringLiteral("versus")},
                                       {QStringLiteral("limit"), 100},
                                       {QStringLiteral("by"), QStringLiteral("elo")}});
    } else if (verb == QLatin1String("rematch")) {
        const QJsonObject series = m_match->seriesFlow()->series();
        if (series.isEmpty() || str(series, "state") != QLatin1String("between"))
            refuse(verb, tr("No next match is being chosen."));
        else
            m_match->seriesFlow()->setSeriesReady(true, args.value(QStringLiteral("value")));
    } else {
        refuse(verb, bridgerules::unknownVerbText(verb));
    }
    scheduleWrite();
}

void MenuBridge::requestQueue(const QHash<QString, QString> &args)
{
    const QString verb = QStringLiteral("queue");
    const QString kind = args.value(QStringLiteral("kind"));
    if (kind != QLatin1String("ranked") && kind != QLatin1String("casual"))
        return refuse(verb, tr("A search is ranked or casual."));
    if (!signedIn())
        return refuse(verb, signInText());
    if (searching(m_match->phase()))
        return refuse(verb, tr("You are searching already."));
    if (lobbyHeld())
        return refuse(verb, tr("You are in a lobby: leave it first."));
    MatchController::SearchRequest request;
    request.game = kGame;
    request.mode = QStringLiteral("versus");
    request.ranked = kind == QLatin1String("ranked");
    request.region = cfg::region();
    request.maxPing = cfg::maxPing();
    request.strict = request.ranked && cfg::strict();
    request.character = m_character;
    request.delay = bridgerules::searchDelay(request.ranked, cfg::inputDelay());
    QString reason;
    if (!m_match->queue(request, &reason))
        return refuse(verb, reason);
    m_lastSeries = QJsonObject();
}

void MenuBridge::requestCancel()
{
    const QString verb = QStringLiteral("cancel");
    switch (m_match->phase()) {
    case MatchController::Searching:
    case MatchController::Found:
        m_match->cancel();
        return;
    case MatchController::Connecting:
        // Once accepted (or in a lobby match) the other side is already on its way.
        if (str(m_match->currentMatch(), "lobby").isEmpty() && !m_accepted) {
            m_match->cancel();
            return;
        }
        return refuse(verb, tr("The match is already being set up."));
    case MatchController::Starting:
        return refuse(verb, tr("The match is already being set up."));
    default:
        return refuse(verb, tr("You are not searching."));
    }
}

void MenuBridge::sendLobbyList()
{
    m_server->send(
        QJsonObject{{QStringLiteral("type"), QStringLiteral("lobby_list")}, {QStringLiteral("game"), kGame}});
}

void MenuBridge::requestLobbies()
{
    if (!signedIn())
        return refuse(QStringLiteral("lobbies"), signInText());
    sendLobbyList();
    m_lobbiesAskedClock.restart();
    if (!m_lobbyListTimer.isActive())
        m_lobbyListTimer.start();
}

void MenuBridge::addServerRtt(QJsonObject &msg) const
{
    const int rtt = m_match->serverRtt();
    if (rtt >= 0)
        msg.insert(QStringLiteral("server_rtt"), rtt);
}

void MenuBridge::sendLobbyRequest(const QJsonObject &msg)
{
    if (m_match->phase() == MatchController::Searching)
        m_match->cancel();
    m_pendingLobbyRequest = msg;
    m_retriedBusy = false;
    m_server->send(msg);
}

void MenuBridge::requestLobbyCreate(const QHash<QString, QString> &args)
{
    const QString verb = QStringLiteral("lobby_create");
    if (!signedIn())
        return refuse(verb, signInText());
    if (matchOnForLobby(m_match->phase()))
        return refuse(verb, tr("Your match is still on: finish it first."));
    const QString mode = args.value(QStringLiteral("mode"), QStringLiteral("versus"));
    // Only a mode played online: an offline one of the game could never start from a lobby.
    const Game *game = GameRegistry::instance().find(kGame);
    const GameMode *gameMode = game ? game->mode(mode) : nullptr;
    if (!gameMode || !gameMode->online)
        return refuse(verb, tr("A lobby is versus or Rovivi Practice (sparring)."));
    const bool koth = bridgerules::isTrue(args.value(QStringLiteral("koth")));
    if (koth && !m_server->hasFeature(QStringLiteral("koth")))
        return refuse(verb, tr("This server has no King of the Hill lobbies."));
    const int rounds = bridgerules::lobbyRounds(args.value(QStringLiteral("rounds"), QStringLiteral("5")));
    QString password = args.value(QStringLiteral("password")).left(64);
    if (password.isEmpty() && bridgerules::isTrue(args.value(QStringLiteral("private"))))
        password = QString::number(QRandomGenerator::global()->bounded(1000, 10000));
    m_createdPassword = password;
    QString name = bridgerules::lobbyName(args.value(QStringLiteral("name")));
    if (name.isEmpty())
        name = tr("%1's lobby").arg(m_server->accountName());

    QJsonObject msg{{QStringLiteral("type"), QStringLiteral("lobby_create")},
                    {QStringLiteral("name"), name},
                    {QStringLiteral("game"), kGame},
                    {QStringLiteral("mode"), mode},
                    {QStringLiteral("password"), password},
                    {QStringLiteral("rounds"), rounds},
                    {QStringLiteral("region"), cfg::region()},
                    {QStringLiteral("character"), m_character},
                    {QStringLiteral("link"), m_server->linkType()}};
    if (koth)
        msg.insert(QStringLiteral("koth"), true);
    addServerRtt(msg);
    sendLobbyRequest(msg);
}

void MenuBridge::requestLobbyJoin(const QHash<QString, QString> &args)
{
    const QString verb = QStringLiteral("lobby_join");
    if (!signedIn())
        return refuse(verb, signInText());
    const QString code = bridgerules::lobbyCode(args.value(QStringLiteral("code")));
    if (code.size() != 5)
        return refuse(verb, tr("Lobby codes have 5 characters."));
    if (lobbyHeld() && str(m_lobby, "id") == code)
        return refuse(verb, tr("You are in lobby %1 already.").arg(code));
    if (matchOnForLobby(m_match->phase()))
        return refuse(verb, tr("Your match is still on: finish it first."));
    QJsonObject msg{{QStringLiteral("type"), QStringLiteral("lobby_join")},
                    {QStringLiteral("lobby"), code},
                    {QStringLiteral("password"), args.value(QStringLiteral("password")).left(64)},
                    {QStringLiteral("character"), m_character},
                    {QStringLiteral("spectate"), bridgerules::isTrue(args.value(QStringLiteral("watch")))},
                    {QStringLiteral("link"), m_server->linkType()}};
    addServerRtt(msg);
    sendLobbyRequest(msg);
}

void MenuBridge::requestLobbyReady(const QHash<QString, QString> &args)
{
    const QString verb = QStringLiteral("lobby_ready");
    const bool ready = bridgerules::isTrue(args.value(QStringLiteral("value")));
    if (!lobbyHeld())
        return refuse(verb, tr("You are not in a lobby."));
    if (bridgerules::ownMember(m_lobby, me()).value(QStringLiteral("spectator")).toBool())
        return refuse(verb, tr("You are watching this lobby: spectators do not get ready."));
    if (ready) {
        if (str(m_lobby, "state") == QLatin1String("in_match") || matchOnForReady(m_match->phase()))
            return refuse(verb, tr("A match is on: get ready once it is over."));
        if (m_versionBlocks)
            return refuse(verb, m_versionWarning);
        QString reason;
        if (!m_match->gameForMatch(
                QJsonObject{{QStringLiteral("game"), m_lobby.value(QStringLiteral("game"))}}, &reason))
            return refuse(verb, reason);
    }
    QJsonObject msg{{QStringLiteral("type"), QStringLiteral("lobby_ready")},
                    {QStringLiteral("ready"), ready},
                    {QStringLiteral("relay"), cfg::hideIp()},
                    {QStringLiteral("hide_always"), cfg::hideIpAlways()},
                    {QStringLiteral("link"), m_server->linkType()}};
    addServerRtt(msg);
    cfg::putDelay(msg, cfg::inputDelay());
    m_server->send(msg);
}

void MenuBridge::onServerError(const QJsonObject &msg)
{
    const QString re = str(msg, "re");
    const QString code = str(msg, "code");
    const QString text = str(msg, "message");
    const bool lobbyRequest = re == QLatin1String("lobby_create") || re == QLatin1String("lobby_join");

    if (code == QLatin1String("too_many_tries")) {
        m_leftForRetry = false;
        m_createdPassword.clear();
        setMessage(tr("Too many wrong passwords. Try again in a few minutes."), true);
    } else if (code == QLatin1String("no_such_series") && re == QLatin1String("series_ready")) {
        appendLog(QStringLiteral("bridge: series_ready came after the series' end"));
        return;
    } else if (code == QLatin1String("not_in_lobby")) {
        if (lobbyHeld()) {
            m_match->watchFlow()->stopWatchingAll();
            clearLobby();
            m_match->seriesFlow()->leaveLobby();
        }
    } else if (code == QLatin1String("busy") && lobbyRequest && lobbyHeld() && !m_retriedBusy &&
               !m_pendingLobbyRequest.isEmpty() &&
               !(m_match->phase() >= MatchController::Searching &&
                 m_match->phase() <= MatchController::Finishing) &&
               m_match->phase() != MatchController::Watching) {
        // Still in another lobby: leave it and ask once more.
        m_retriedBusy = true;
        m_leftForRetry = true;
        m_server->send(typed("lobby_leave"));
        m_server->send(m_pendingLobbyRequest);
    } else if (re.startsWith(QLatin1String("lobby_")) || re.startsWith(QLatin1String("queue")) ||
               re.startsWith(QLatin1String("series")) || re.startsWith(QLatin1String("match_")) ||
               re == QLatin1String("leaderboard")) {
        if (lobbyRequest) {
            m_leftForRetry = false;
            m_createdPassword.clear();
        }
        if (re == QLatin1String("lobby_create"))
            setMessage(tr("The lobby could not be made: %1").arg(text), true);
        else if (re == QLatin1String("lobby_join"))
            setMessage(tr("Could not join the lobby: %1").arg(text), true);
        else
            setMessage(text, true);
    }
    scheduleWrite();
}

void MenuBridge::onGameStatus(const QString &text)
{
    const bool away = text.section(QLatin1Char(' '), 0, 0) == QLatin1String("away");
    if (m_match->isInOnlineMenu()) {
        const QJsonObject own = bridgerules::ownMember(m_lobby, me());
        if (away && !m_awayFromMenu && lobbyHeld() && own.value(QStringLiteral("ready")).toBool() &&
            !own.value(QStringLiteral("spectator")).toBool() &&
            str(m_lobby, "state") != QLatin1String("in_match") && signedIn()) {
            appendLog(QStringLiteral("bridge: the game left its online menu: no longer ready in the lobby"));
            m_server->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("lobby_ready")},
                                       {QStringLiteral("ready"), false}});
            setMessage(tr("You left the online menu, so you are no longer ready in the lobby."), false);
        }
    }
    m_awayFromMenu = away;
    scheduleWrite();
}

void MenuBridge::onPlayerGame(bool running)
{
    if (!running) {
        if (!m_match->seriesFlow()->series().isEmpty()) {
            appendLog(QStringLiteral("bridge: the game closed: leaving the set or series"));
            m_match->seriesFlow()->setSeriesReady(false, QStringLiteral("rematch"));
        }
        if (lobbyHeld()) {
            appendLog(QStringLiteral("bridge: the game closed: leaving the lobby"));
            m_match->watchFlow()->stopWatchingAll();
            m_server->send(typed("lobby_leave"));
        }
        if (searching(m_match->phase()))
            m_match->cancel();
    }
    scheduleWrite();
}
