// The state document: everything the game's online menu may show, composed afresh from the
// bridge's state, the server link and the match controller each time.

#include "bridge/bridgerules.h"
#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "match/searchsession.h"

#include <QDateTime>

namespace {

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

bool isLobbyMatch(const QJsonObject &found)
{
    return !found.value(QStringLiteral("lobby")).toString().isEmpty();
}

} // namespace

QString MenuBridge::me() const
{
    return m_server->state() == ServerClient::LoggedIn ? m_server->accountName() : QString();
}

QJsonObject MenuBridge::ownStats() const
{
    return m_stats.value(QStringLiteral("orx")).toObject().value(QStringLiteral("versus")).toObject();
}

QJsonObject MenuBridge::composeState() const
{
    QJsonArray lobbyRows;
    for (const QJsonValue &entry : m_lobbies)
        lobbyRows.append(bridgerules::lobbyRow(entry.toObject()));
    QJsonArray boardRows;
    for (const QJsonValue &row : m_leaderboardRows)
        boardRows.append(bridgerules::leaderboardRow(row.toObject()));
    return {
        {QStringLiteral("v"), 1},
        {QStringLiteral("t"), QDateTime::currentMSecsSinceEpoch()},
        {QStringLiteral("account"), accountSection()},
        {QStringLiteral("server"), serverSection()},
        {QStringLiteral("side"), cfg::preferredSide()},
        {QStringLiteral("queue"), queueSection()},
        {QStringLiteral("series"), seriesSection()},
        {QStringLiteral("lobbies"),
         QJsonObject{{QStringLiteral("at"), m_lobbiesAt}, {QStringLiteral("list"), lobbyRows}}},
        {QStringLiteral("lobby"), lobbySection()},
        {QStringLiteral("leaderboard"),
         QJsonObject{{QStringLiteral("at"), m_leaderboardAt}, {QStringLiteral("rows"), boardRows}}},
        {QStringLiteral("message"), m_message},
        {QStringLiteral("update"), m_update},
    };
}

QJsonObject MenuBridge::accountSection() const
{
    static const char *const states[] = {"offline", "connecting", "signed_out", "signed_in"};
    const ServerClient::State state = m_server->state();
    const bool signedIn = state == ServerClient::LoggedIn;
    const QJsonObject ranked = ownStats().value(QStringLiteral("ranked")).toObject();
    return {{QStringLiteral("state"), QLatin1String(states[qBound(0, int(state), 3)])},
            {QStringLiteral("name"), signedIn ? m_server->accountName() : QString()},
            {QStringLiteral("rank"), signedIn ? str(ranked, "title") : QString()},
            {QStringLiteral("elo"), signedIn ? ranked.value(QStringLiteral("elo")).toInt() : 0},
            {QStringLiteral("wins"), signedIn ? ranked.value(QStringLiteral("wins")).toInt() : 0},
            {QStringLiteral("losses"), signedIn ? ranked.value(QStringLiteral("losses")).toInt() : 0},
            {QStringLiteral("error"), signedIn ? QString() : m_accountError}};
}

QJsonObject MenuBridge::serverSection() const
{
    const ServerClient::State state = m_server->state();
    const bool connected = state == ServerClient::Rovivi || state == ServerClient::LoggedIn;
    int inMatches = 0;
    const QJsonValue matches = m_onlineInfo.value(QStringLiteral("games"))
                                   .toObject()
                                   .value(QStringLiteral("orx"))
                                   .toObject()
                                   .value(QStringLiteral("matches"));
    if (!matches.isUndefined() && !matches.isNull())
        inMatches = matches.toInt();
    else
        inMatches = m_onlineInfo.value(QStringLiteral("playing")).toInt();
    const bool noticeFresh = m_noticeClock.isValid() && m_noticeClock.elapsed() < m_timing.noticeMs;
    return {{QStringLiteral("online"), connected ? m_onlineInfo.value(QStringLiteral("count")).toInt() : 0},
            {QStringLiteral("in_matches"), connected ? inMatches : 0},
            {QStringLiteral("notice"), noticeFresh ? m_noticeText : QString()}};
}

QJsonObject MenuBridge::queueSection() const
{
    const MatchController::Phase phase = m_match->phase();
    const QJsonObject found = m_match->currentMatch();
    QString state = QStringLiteral("idle");
    if (phase == MatchController::Searching)
        state = QStringLiteral("searching");
    else if (isLobbyMatch(found))
        state = QStringLiteral("idle"); // a lobby's match is shown by the lobby, not as a search
    else if (phase == MatchController::Found)
        state = QStringLiteral("found");
    else if (phase == MatchController::Connecting)
        state = m_connectingShown ? QStringLiteral("connecting") : QStringLiteral("accepted");
    else if (phase == MatchController::Starting)
        state = QStringLiteral("starting");
    const bool idle = state == QLatin1String("idle");
    const bool searching = state == QLatin1String("searching");

    const bool ranked = found.isEmpty() ? m_match->search()->lastSearch().ranked
                                        : found.value(QStringLiteral("ranked")).toBool();
    const QJsonObject opponent = found.value(QStringLiteral("opponent")).toObject();
    const QJsonObject connection = found.value(QStringLiteral("connection")).toObject();
    const int estimate = connection.value(QStringLiteral("estimate")).toInt(-1);
    const int ping = estimate >= 0 ? estimate : connection.value(QStringLiteral("ping")).toInt();
    const int secs = searching ? m_match->search()->searchSeconds() : 0;
    const int acceptLeft = state == QLatin1String("found") && m_foundClock.isValid()
                               ? bridgerules::acceptLeft(m_acceptSeconds, m_foundClock.elapsed())
                               : 0;
    QString text;
    if (searching)
        text = bridgerules::searchingText(ranked, secs, m_match->search()->widenedPingLimit());
    else if (state == QLatin1String("found"))
        text = bridgerules::foundText(str(opponent, "name"), acceptLeft);
    else if (state == QLatin1String("accepted"))
        text = tr("Accepted. Waiting for your opponent.");
    else if (!idle)
        text = m_match->phaseText();
    return {{QStringLiteral("state"), state},
            {QStringLiteral("kind"), idle     ? QString()
                                     : ranked ? QStringLiteral("ranked")
                                              : QStringLiteral("casual")},
            {QStringLiteral("secs"), secs},
            {QStringLiteral("accept_left"), acceptLeft},
            {QStringLiteral("opponent"), idle ? QString() : str(opponent, "name")},
            {QStringLiteral("opponent_rank"), idle ? QString() : str(opponent, "title")},
            {QStringLiteral("ping"), idle || searching ? 0 : ping},
            {QStringLiteral("text"), text}};
}

QJsonObject MenuBridge::seriesSection() const
{
    const QJsonObject &taken = !m_series.isEmpty() ? m_series : m_lastSeries;
    const bool current = !m_series.isEmpty();
    const bool recent =
        m_seriesOverClock.isValid() && m_seriesOverClock.elapsed() < m_timing.finishedSeriesMs;
    if (!taken.isEmpty() && (current || recent))
        return bridgerules::seriesSection(taken, me());
    if (!lobbyHeld())
        return bridgerules::emptySeries();
    const QString self = me();
    const QString other = bridgerules::otherPlayer(m_lobby, self);
    const bool spectator = bridgerules::ownMember(m_lobby, self).value(QStringLiteral("spectator")).toBool();
    if (spectator || other.isEmpty())
        return bridgerules::emptySeries();
    const bool choosing =
        m_match->phase() == MatchController::AtResult && isLobbyMatch(m_match->currentMatch());
    return bridgerules::lobbyTally(other, bridgerules::winsOf(m_lobby, self, m_winsByName),
                                   bridgerules::winsOf(m_lobby, other, m_winsByName), choosing);
}

QJsonValue MenuBridge::lobbySection() const
{
    if (!lobbyHeld())
        return QJsonValue(QJsonValue::Null);
    const QString self = me();
    const QJsonObject own = bridgerules::ownMember(m_lobby, self);
    const bool host = !self.isEmpty() && str(m_lobby, "host") == self;
    const MatchController::Phase phase = m_match->phase();
    const bool matchPhase = (phase >= MatchController::Connecting && phase <= MatchController::Finishing) ||
                            phase == MatchController::Watching;
    const bool inMatch = str(m_lobby, "state") == QLatin1String("in_match") ||
                         (matchPhase && isLobbyMatch(m_match->currentMatch()));
    QJsonArray members;
    for (const QJsonValue &v : m_lobby.value(QStringLiteral("members")).toArray()) {
        const QJsonObject m = v.toObject();
        const QString name = str(m, "name");
        members.append(
            QJsonObject{{QStringLiteral("name"), name},
                        {QStringLiteral("ready"), m.value(QStringLiteral("ready")).toBool()},
                        {QStringLiteral("role"), m.value(QStringLiteral("spectator")).toBool()
                                                     ? QStringLiteral("spectator")
                                                     : QStringLiteral("player")},
                        {QStringLiteral("wins"), bridgerules::winsOf(m_lobby, name, m_winsByName)}});
    }
    bridgerules::LobbyFacts facts;
    facts.lobby = m_lobby;
    facts.me = self;
    facts.versionWarning = m_versionWarning;
    facts.password = m_lobbyPassword;
    return QJsonObject{
        {QStringLiteral("code"), str(m_lobby, "id")},
        {QStringLiteral("name"), str(m_lobby, "name")},
        {QStringLiteral("host"), str(m_lobby, "host")},
        {QStringLiteral("mode"), str(m_lobby, "mode")},
        {QStringLiteral("koth"), m_lobby.value(QStringLiteral("koth")).toBool()},
        {QStringLiteral("locked"), m_lobby.value(QStringLiteral("locked")).toBool()},
        {QStringLiteral("password"), host ? m_lobbyPassword : QString()},
        {QStringLiteral("ready"), own.value(QStringLiteral("ready")).toBool()},
        {QStringLiteral("state"), inMatch ? QStringLiteral("match") : QStringLiteral("waiting")},
        {QStringLiteral("text"), bridgerules::lobbyText(facts)},
        {QStringLiteral("members"), members}};
}
