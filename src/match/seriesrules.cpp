#include "match/seriesrules.h"

#include <QJsonArray>

namespace seriesrules {

QString seriesKeys(const QJsonObject &go)
{
    QString keys;
    const QString kind = go.value(QStringLiteral("series_kind")).toString();
    if (!kind.isEmpty())
        keys += QStringLiteral(" series=") + kind;
    if (go.contains(QStringLiteral("set_p1")))
        keys += QStringLiteral(" set=%1 set_p1=%2 set_p2=%3")
                    .arg(go.value(QStringLiteral("set")).toInt())
                    .arg(go.value(QStringLiteral("set_p1")).toInt())
                    .arg(go.value(QStringLiteral("set_p2")).toInt());
    const int keep = go.value(QStringLiteral("keep")).toInt();
    if (keep == 1 || keep == 2)
        keys += QStringLiteral(" keep=%1").arg(keep);
    return keys;
}

int chooserOf(const QJsonObject &matchResult)
{
    if (matchResult.value(QStringLiteral("status")).toString() == QLatin1String("draw"))
        return 1;
    switch (matchResult.value(QStringLiteral("winner")).toInt()) {
    case 1:
        return 2;
    case 2:
        return 1;
    default:
        return 0;
    }
}

bool pathAllowsChoice(const QString &lastPath, bool tunnelBridge, bool relayChoiceFeature)
{
    if (lastPath == QLatin1String("lan") || lastPath == QLatin1String("public"))
        return !tunnelBridge;
    if (lastPath == QLatin1String("relay") || lastPath == QLatin1String("tunnel"))
        return relayChoiceFeature;
    return false;
}

bool entersResultScreen(const ResultScreenFacts &f)
{
    return (f.status == QLatin1String("agreed") || f.status == QLatin1String("draw")) &&
           (!f.lobby || f.playersChoose) && f.pathAllows && f.gameRunning &&
           f.gameWord != QLatin1String("ready") && f.gameWord != QLatin1String("away") && !f.watching;
}

bool opponentLeftLobby(const QJsonObject &lobbyMsg, const QJsonObject &found, const QString &opponent)
{
    const QJsonObject lobby = lobbyMsg.value(QStringLiteral("lobby")).toObject();
    const QString id = lobby.value(QStringLiteral("id")).toString();
    if (id.isEmpty() || id != found.value(QStringLiteral("lobby")).toString() || opponent.isEmpty())
        return false;
    const QJsonArray members = lobby.value(QStringLiteral("members")).toArray();
    for (const QJsonValue &m : members) {
        const QJsonObject member = m.toObject();
        if (member.value(QStringLiteral("name")).toString() == opponent &&
            !member.value(QStringLiteral("spectator")).toBool())
            return false;
    }
    return true;
}

Restore restoreReady(const QJsonObject &series, bool readyPending, const LastReady &last, bool choiceExpected)
{
    Restore r;
    if (series.value(QStringLiteral("state")).toString() != QLatin1String("between") ||
        series.value(QStringLiteral("you_ready")).toBool() || readyPending)
        return r;
    if (last.series == series.value(QStringLiteral("series")).toString() &&
        last.played == series.value(QStringLiteral("played")).toInt(-2) && !last.choice.isEmpty()) {
        r.pending = true;
        r.choice = last.choice;
        r.again = true;
    } else if (!choiceExpected) {
        r.pending = true;
        r.choice = QStringLiteral("select");
    }
    return r;
}

} // namespace seriesrules
