#pragma once
// What the launcher reads back from a game's log for the server: the anonymised line, the way a
// game ended during a match, and the log's last lines.

#include <QString>
#include <QStringList>

namespace gamelog {

// Printable ASCII, no IPv4 addresses, no Windows user names, at most 200 characters.
QString anonymiseLine(const QString &line);
// How the game in `sessionDir` ended: "crash", "asked to leave N", "shut down", "relaunched",
// "window closed" or "ended from outside".
QString exitClassification(const QString &sessionDir);
// The last `count` non-blank lines of the game's log, anonymised.
QStringList logTail(const QString &sessionDir, int count);

} // namespace gamelog
