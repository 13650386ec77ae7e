#pragma once
// The test driver's pure rules: which rematch choice comes next, how a lobby name travels in a
// request line, which listed lobby to enter, and who plays in a lobby. No state, no signals.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace driverrules {

// The choice for the rematch after `made` choices: the list's entry at that place, the last one
// repeating once the list runs out; "rematch" when the list is empty.
QString rematchChoice(const QStringList &choices, int made);

// UTF-8 percent-encoding of everything but letters, digits, "-", ".", "_" and "~", with upper-case
// hexadecimal digits, so that a name with spaces stays one argument of a request line.
QString percentEncoded(const QString &text);

// The lobby name and mode the driver uses ("e2e lobby" and "versus" when not given).
QString lobbyName(const QString &given);
QString lobbyMode(const QString &given);

// The code of the first lobby in `lobbies` (the "lobbies" array of a list message) named exactly
// `name` that can be entered now: any in watch mode, otherwise a King of the Hill lobby or an open
// one. Empty when none fits.
QString pickLobby(const QJsonArray &lobbies, const QString &name, bool watch);

// The members of a lobby object that play (not spectators), in order.
QList<QJsonObject> lobbyPlayers(const QJsonObject &lobby);
// The last playing member named `name`, or {} when `name` does not play there.
QJsonObject ownPlayer(const QJsonObject &lobby, const QString &name);

} // namespace driverrules
