#include "dev/driverrules.h"

#include <QJsonValue>

namespace driverrules {

QString rematchChoice(const QStringList &choices, int made)
{
    if (choices.isEmpty())
        return QStringLiteral("rematch");
    return choices.at(qBound(0, made, int(choices.size()) - 1));
}

QString percentEncoded(const QString &text)
{
    // QByteArray's default already leaves exactly the unreserved characters alone.
    return QString::fromLatin1(text.toUtf8().toPercentEncoding());
}

QString lobbyName(const QString &given)
{
    return given.isEmpty() ? QStringLiteral("e2e lobby") : given;
}

QString lobbyMode(const QString &given)
{
    return given.isEmpty() ? QStringLiteral("versus") : given;
}

QString pickLobby(const QJsonArray &lobbies, const QString &name, bool watch)
{
    for (const QJsonValue &value : lobbies) {
        const QJsonObject entry = value.toObject();
        if (entry.value(QLatin1String("name")).toString() != name)
            continue;
        // A King of the Hill lobby takes newcomers while its match runs; a versus one only when open.
        if (watch || entry.value(QLatin1String("koth")).toBool() ||
            entry.value(QLatin1String("state")).toString() == QLatin1String("open"))
            return entry.value(QLatin1String("id")).toString();
    }
    return QString();
}

QList<QJsonObject> lobbyPlayers(const QJsonObject &lobby)
{
    QList<QJsonObject> players;
    for (const QJsonValue &value : lobby.value(QLatin1String("members")).toArray()) {
        const QJsonObject member = value.toObject();
        if (!member.value(QLatin1String("spectator")).toBool())
            players.append(member);
    }
    return players;
}

QJsonObject ownPlayer(const QJsonObject &lobby, const QString &name)
{
    QJsonObject own;
    for (const QJsonObject &member : lobbyPlayers(lobby)) {
        if (member.value(QLatin1String("name")).toString() == name)
            own = member;
    }
    return own;
}

} // namespace driverrules
