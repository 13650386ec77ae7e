#pragma once
// The pure rules of the menu bridge: the request grammar, the sentences the game's menu shows,
// the parts of the state document made from the server's objects, and the version check of lobby
// members. Free functions so the bridge and the tests share one definition.

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace bridgerules {

// One request line of the game: its verb and its key=value arguments (values percent-decoded).
struct Request {
    QString verb;
    QHash<QString, QString> args;
};
// `line` is the request as read (Latin-1, so every byte is one character).
Request parseRequest(const QString &line);
// Percent-decodes `text` as bytes (one byte per character) and reads the result as UTF-8. A "%"
// not followed by two hex digits stays as it is.
QString percentDecoded(const QString &text);
// The log line of a request: "bridge: ask ..." cut to 200 characters of the line.
QString requestLogLine(const QString &line);
// The refusal of a verb the launcher does not know.
QString unknownVerbText(const QString &verb);

// Versions compared number by number ("0.1.10" > "0.1.8", "0.1.8.0" == "0.1.8"): <0, 0, >0.
int compareVersions(const QString &a, const QString &b);

struct VersionCheck {
    QString warning; // the lines joined with single spaces
    bool blocks = false;
};
// The version lines of a lobby's members against this launcher's version and build label.
VersionCheck checkVersions(const QJsonObject &lobby, const QString &me, const QString &myVersion,
                           const QString &myBuild);

// Lobby lookups: the player's own member entry ({} when none), the other player ("" when none),
// and the wins of a name (the member's "wins", else the launcher's own count, else 0).
QJsonObject ownMember(const QJsonObject &lobby, const QString &me);
QString otherPlayer(const QJsonObject &lobby, const QString &me);
int winsOf(const QJsonObject &lobby, const QString &name, const QHash<QString, int> &winsByName);

// Document rows made from the server's entries.
QJsonObject lobbyRow(const QJsonObject &entry);
QJsonObject leaderboardRow(const QJsonObject &row);

// "queue" texts.
QString searchingText(bool ranked, int seconds, int widenedLimit);
QString foundText(const QString &opponent, int acceptLeft);
int acceptLeft(int acceptSeconds, qint64 elapsedMs);

// The status sentences of a held lobby, joined with single spaces.
struct LobbyFacts {
    QJsonObject lobby;
    QString me;
    QString versionWarning;
    QString password; // the player's own lobby's password, to show it
};
QString lobbyText(const LobbyFacts &facts);
// The whole seconds shown for a lobby's "starts_in" (rounded up; 0 stays 0).
int startsInSeconds(double startsIn);

// "series" for a set or casual series S (running or over).
QJsonObject seriesSection(const QJsonObject &series, const QString &me);
// The running text of a set or series.
QString seriesRunningText(const QJsonObject &series, const QString &me);
// The text of a finished set or series, with its Elo and rank sentences.
QString seriesEndText(const QJsonObject &series, const QString &me);
// "series" for a lobby tally.
QJsonObject lobbyTally(const QString &other, int mine, int theirs, bool choosing);
QJsonObject emptySeries();

// The message of a finished match.
QString matchFinishedText(const QJsonObject &result);
// The message of a called-off match; empty when the player's own decline needs none.
QString cancelReasonText(const QString &reason);
QString cancelledText(const QString &reason, bool requeued);

} // namespace bridgerules

namespace bridgerules {

// Request arguments: a flag is set exactly by "1" or "true".
bool isTrue(const QString &value);
// The frames of delay a search asks for: -1 (automatic) stays, a ranked search asks for at least 1.
int searchDelay(bool ranked, int inputDelay);
// A lobby's rounds: 1, 3 or 5; anything else (also no number) is 5.
int lobbyRounds(const QString &value);
// A lobby's name: white space simplified, cut to 32; empty when nothing is left.
QString lobbyName(const QString &value);
// A lobby code as typed: trimmed and in upper case.
QString lobbyCode(const QString &value);

} // namespace bridgerules
