// How the state behind the document follows the server and the match controller: figures,
// notices, the profile, lobbies, the leaderboard, the match found, called off and finished, and
// the set or series. Missing fields read as empty, 0 or false; nothing is refused.

#include "bridge/bridgerules.h"
#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "core/version.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"

#include <QDateTime>

namespace {

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

} // namespace

void MenuBridge::onServerMessage(const QJsonObject &msg)
{
    const QString type = str(msg, "type");
    if (type == QLatin1String("online")) {
        m_onlineInfo = msg;
    } else if (type == QLatin1String("welcome")) {
        m_onlineInfo = QJsonObject{{QStringLiteral("count"), msg.value(QStringLiteral("online"))}};
        const QString motd = str(msg, "motd");
        if (!motd.isEmpty()) {
            m_noticeText = motd;
            m_noticeClock.start();
        }
    } else if (type == QLatin1String("notice")) {
        m_noticeText = str(msg, "text");
        m_noticeClock.start();
        setMessage(m_noticeText, str(msg, "level") == QLatin1String("warn"));
    } else if (type == QLatin1String("profile")) {
        const QString name = str(msg, "name");
        // Other players' profiles are not the player's statistics.
        if (m_server->state() != ServerClient::LoggedIn || name != m_server->accountName())
            return;
        m_stats = msg.value(QStringLiteral("stats")).toObject();
    } else if (type == QLatin1String("match_peer")) {
        const QString id = str(m_match->currentMatch(), "match");
        if (!id.isEmpty() && str(msg, "match") == id)
            m_connectingShown = true;
    } else if (type == QLatin1String("spectate")) {
        // One lobby has one match at a time: a few names are plenty, whatever the server sends.
        while (m_spectateNames.size() >= MaxSpectateNames)
            m_spectateNames.erase(m_spectateNames.begin());
        m_spectateNames.insert(str(msg, "match"), {str(msg, "p1_name"), str(msg, "p2_name")});
        return;
    } else if (type == QLatin1String("spectate_end")) {
        const QStringList names = m_spectateNames.take(str(msg, "match"));
        const int winner = msg.value(QStringLiteral("winner")).toInt();
        if (str(msg, "status") == QLatin1String("agreed") && names.size() == 2 &&
            (winner == 1 || winner == 2))
            countWin(names.at(winner - 1));
        return;
    } else if (type == QLatin1String("lobbies")) {
        m_lobbies = msg.value(QStringLiteral("lobbies")).toArray();
        m_lobbiesAt = QDateTime::currentMSecsSinceEpoch();
        emit lobbiesChanged(m_lobbies);
    } else if (type == QLatin1String("lobby")) {
        onLobby(msg.value(QStringLiteral("lobby")).toObject());
    } else if (type == QLatin1String("lobby_left")) {
        onLobbyLeft(msg);
        return;
    } else if (type == QLatin1String("error")) {
        onServerError(msg);
        return;
    } else if (type == QLatin1String("leaderboard")) {
        const QJsonValue by = msg.value(QStringLiteral("by"));
        if (by.isUndefined() || by.toString() == QLatin1String("elo")) {
            m_leaderboardRows = msg.value(QStringLiteral("rows")).toArray();
            m_leaderboardAt = QDateTime::currentMSecsSinceEpoch();
        }
    } else {
        return; // not the bridge's
    }
    scheduleWrite();
}

void MenuBridge::onLobby(const QJsonObject &lobby)
{
    const QString self = me();
    const bool host = !self.isEmpty() && str(lobby, "host") == self;
    if (str(lobby, "id") != str(m_lobby, "id")) {
        m_lobbyPassword = host ? m_createdPassword : QString();
        m_createdPassword.clear();
        m_leftForRetry = false;
        m_lastSeries = QJsonObject();
    }
    if (lobby.contains(QStringLiteral("password")) && host)
        m_lobbyPassword = str(lobby, "password");
    m_lobby = lobby;
    m_spectatorInLobby = bridgerules::ownMember(lobby, self).value(QStringLiteral("spectator")).toBool();
    if (!m_spectatorInLobby && !lobby.value(QStringLiteral("koth")).toBool())
        m_match->watchFlow()->stopWatchingAll();
    if (m_spectatorInLobby)
        m_spectatorGraceTimer.stop();
    const bridgerules::VersionCheck check =
        bridgerules::checkVersions(lobby, self, QLatin1String(kLauncherVersion), cfg::buildLabel());
    m_versionWarning = check.warning;
    m_versionBlocks = check.blocks;
}

void MenuBridge::countWin(const QString &name)
{
    // Only members of the lobby held are shown with their wins; nobody else is counted, so the
    // tally stays as small as the lobby.
    if (!bridgerules::ownMember(m_lobby, name).isEmpty())
        ++m_winsByName[name];
}

void MenuBridge::clearLobby()
{
    m_lobby = QJsonObject();
    m_winsByName.clear();
    m_lobbyPassword.clear();
    m_versionWarning.clear();
    m_versionBlocks = false;
    m_spectatorInLobby = false;
}

void MenuBridge::onLobbyLeft(const QJsonObject &msg)
{
    // A notice about another lobby than the one held changes nothing.
    if (lobbyHeld() && str(msg, "lobby") != str(m_lobby, "id"))
        return;
    const bool joinedElsewhere = msg.contains(QStringLiteral("joined")) || m_leftForRetry;
    m_match->watchFlow()->stopWatchingAll();
    clearLobby();
    if (joinedElsewhere)
        m_match->seriesFlow()->lobbyLeft();
    else
        m_match->seriesFlow()->leaveLobby();
    scheduleWrite();
}

void MenuBridge::onServerState(ServerClient::State state)
{
    if (state == ServerClient::LoggedIn) {
        m_accountError.clear();
    } else {
        if (lobbyHeld()) {
            m_lobby = QJsonObject();
            // A spectator watches the match in progress on for a while: the lobby may come back.
            if (state == ServerClient::Offline && m_spectatorInLobby)
                m_spectatorGraceTimer.start();
            else
                m_match->watchFlow()->stopWatchingAll();
        }
        m_series = QJsonObject();
        m_leaderboardRows = QJsonArray();
    }
    scheduleWrite();
}

void MenuBridge::onSpectatorGraceOver()
{
    if (!lobbyHeld())
        m_match->watchFlow()->stopWatchingAll();
}

void MenuBridge::refreshLobbyList()
{
    if (!m_lobbiesAskedClock.isValid() || m_lobbiesAskedClock.elapsed() > m_timing.lobbyListFreshMs) {
        m_lobbyListTimer.stop();
        return;
    }
    const MatchController::Phase phase = m_match->phase();
    const bool busy = (phase >= MatchController::Connecting && phase <= MatchController::Finishing) ||
                      phase == MatchController::Watching;
    if (m_server->state() == ServerClient::LoggedIn && !busy)
        sendLobbyList();
}

void MenuBridge::onMatchFound(const QJsonObject &found)
{
    m_accepted = !found.value(QStringLiteral("accept_required")).toBool();
    m_connectingShown = m_accepted;
    m_acceptSeconds = found.value(QStringLiteral("accept_timeout")).toInt(15);
    m_foundClock.start();
    scheduleWrite();
}

void MenuBridge::onMatchCancelled(const QString &reason, bool requeued)
{
    // The player's own decline (or an acceptance never given through the menu) needs no message.
    if (reason == QLatin1String("declined") && !m_accepted) {
        scheduleWrite();
        return;
    }
    const QString text = bridgerules::cancelledText(reason, requeued);
    setMessage(text, !requeued);
}

void MenuBridge::onMatchFinished(const QJsonObject &result)
{
    const QString opponent = str(result, "opponent");
    if (!str(m_match->currentMatch(), "lobby").isEmpty() && result.contains(QStringLiteral("you_won"))) {
        const QString winner = result.value(QStringLiteral("you_won")).toBool() ? me() : opponent;
        countWin(winner);
    }
    setMessage(bridgerules::matchFinishedText(result), false);
    m_server->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("profile")}});
}

void MenuBridge::onSeriesChanged(const QJsonObject &series)
{
    if (str(series, "state") == QLatin1String("over")) {
        m_series = QJsonObject();
        m_lastSeries = series;
        m_seriesOverClock.start();
        setMessage(bridgerules::seriesEndText(series, me()), false);
        m_server->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("profile")}});
    } else {
        m_series = series;
        m_lastSeries = QJsonObject();
    }
    scheduleWrite();
}
