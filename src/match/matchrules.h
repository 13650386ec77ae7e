#pragma once
// The pure rules of match control: the lines written to the game, the input delay and its
// explanation, the opponent's endpoint, the texts shown for a match found, and the search's ping
// widening. Free functions so the controller and the tests share one definition.

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace matchrules {

// A rank title as the game's key: lower case, letters and digits, single inner hyphens; "-" when empty.
QString rankKey(const QString &title);

// What the game gets besides the match_go fields.
struct StartExtras {
    int gamePort = 7001;
    int delay = 1;
    bool choose = false;  // the players choose at the result screen in the game
    QString seriesKeys;   // already formatted, each item with its leading blank
    QString feedEndpoint; // "127.0.0.1:port" when a feed was opened
};

// The 17-item start line plus its suffixes.
QString startLine(const QJsonObject &go, const StartExtras &extras);
// The line for a next match that starts from the result screen.
QString rematchLine(const QJsonObject &go, bool choose, const QString &seriesKeys);
// The 15-item line that starts a game watching the match of a "spectate" offer from the feed at
// `feedEndpoint`.
QString watchLine(const QJsonObject &offer, const QString &feedEndpoint);

// Characters of a match_go: empty or "-" means the player picks in the game.
bool picksInGame(const QJsonObject &go);

// Input delay frames chosen automatically for a round trip in ms.
int autoDelayFrames(int rttMs);

struct Delay {
    int frames = 1;
    QString reason; // "your setting", "Auto for that ping" or "<opponent>'s setting"
};
// The delay written into the start line and why, from match_go, the player's setting (-1 automatic)
// and the opponent's name.
Delay matchDelay(const QJsonObject &go, int setting, const QString &opponent);

// The opponent's public endpoint, rewritten to the server's address when the opponent sits beside
// the server. `changed` tells whether it was rewritten.
QString rewritePublicEndpoint(const QString &endpoint, const QHostAddress &server, bool *changed = nullptr);

// The opponent's connection as one line for the log.
QString connectionText(const QJsonObject &found);

// The ping limit reached by the server's widening after `seconds` of search, or 0.
int widenedPingLimit(const QJsonObject &widen, int maxPing, double seconds);

// The player's text for a match_cancelled reason code (the code itself when unknown).
QString cancelReasonText(const QString &code);

// The words of a reported result in the log and the phase text: "player %1 won %2-%3",
// "a draw %1-%2", or the outcome.
QString resultSummary(const QJsonObject &result);

// What the player learns of a match_result: the server's message with this player's side, the
// opponent's name from match_go, the score with this player's rounds first and whether they won,
// and the characters when the game named both (p1 first).
QJsonObject resultPayload(const QJsonObject &matchResult, const QJsonObject &go,
                          const QStringList &characters);

// The first word and the key=value pairs of a game status line.
struct StatusLine {
    QString word;
    QHash<QString, QString> values;
};
StatusLine parseStatus(const QString &line);

} // namespace matchrules
