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

// The last `bytes` bytes of the game's log as lines (none without a log).
QStringList lastLogLines(const QString &sessionDir, qint64 bytes);

// What a desync report quotes of the game's log: its header lines (system and game), then the
// lines that tell of the current match, up to its "DESYNC at frame" line and a little after,
// anonymised and cut to what one report carries.
QStringList matchLogExcerpt(const QString &sessionDir);
// The same from lines already read: `head` from the start of the log, `body` from its end.
QStringList excerptOf(const QStringList &head, const QStringList &body);

} // namespace gamelog
