#pragma once
// The lobby's pure rules: codes, request fields, the King of the Hill line and the characters of a
// next match. Plain data and free functions, so they are tested without a server.

#include <QJsonObject>
#include <QList>
#include <QString>
#include <functional>
#include <initializer_list>

namespace lobby {

constexpr int CodeLength = 5;
// Upper-case letters and digits without the look-alikes I, L, O, 0 and 1.
inline constexpr char CodeAlphabet[] = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";
constexpr int MaxNameLength = 32;
constexpr int MaxPasswordLength = 64;
constexpr int MaxLobbies = 500;
constexpr int VersusPlayers = 2;
constexpr int MaxKothPlayers = 8; // the two on the hill and the line
constexpr int MaxSpectators = 8;

enum class Kind { Versus, Practice, Koth };
QString kindName(Kind kind);

// One member of a lobby. Players are the members who are not spectators; in King of the Hill the
// line waits as spectators with "line" 1, 2, ...; a watcher joined to watch and never gets in line.
struct Member {
    int accountId = -1;
    QString name, version, build, character = QStringLiteral("-");
    bool ready = false, spectator = false, watcher = false, online = true;
    int line = 0, wins = 0;
    int dropCount = 0; // tells a grace timer whether it belongs to the latest drop
    // What the last "lobby_ready" said: the result screen's choice and the path wishes.
    bool inPlace = false;
    QString choice;
    bool relay = false, hideAlways = false, delayAuto = false;
    QString link;
    int serverRtt = -1, delay = 1;
};

// A new code from a source of random numbers below a bound (the server passes its secure source).
QString makeCode(const std::function<quint32(quint32)> &randomBelow);
// A typed code as it is looked up: trimmed and in upper case.
QString normalizeCode(const QString &typed);
bool isCode(const QString &code);

enum class FieldKind { Text, Bool, Number };
struct Field {
    const char *key;
    FieldKind kind;
};
// The first of the fields that is present with another JSON type, or empty when all fit.
QString wrongField(const QJsonObject &msg, std::initializer_list<Field> fields);

// A checked "lobby_create". Texts are cut to their sizes; mode, rounds and password are refused.
struct CreateRequest {
    QString name, game, mode, password, region, character, link;
    Kind kind = Kind::Versus;
    int rounds = 3, serverRtt = -1;
};
// Empty when the request is good, else the error code with a sentence in message.
QString parseCreate(const QJsonObject &msg, const QString &hostName, int defaultRounds, CreateRequest &out,
                    QString *message);

int playerCount(const QList<Member> &members);
// Everybody waiting for a turn: players and the line, not the watchers.
int seatCount(const QList<Member> &members);
// King of the Hill: while fewer than two play, line 1 comes in; the line is numbered 1, 2, ... again.
void kothFill(QList<Member> &members);
// King of the Hill after a match: the loser goes to the back of the line and line 1 comes in.
void kothAfterMatch(QList<Member> &members, int loserAccount);
// King of the Hill: the king stays while on the hill; else the first player on it, or -1.
int kingOf(const QList<Member> &members, int king);

// The characters of the next match between the same two players. The loser of the last match
// chooses (side 1 after a draw or a match without a winner): "rematch" keeps both characters,
// anything else makes both pick again ("-"). With keepWinner the winner keeps theirs whatever is
// chosen, and keep names that side. A last character that is unknown falls back to fallback[i].
void nextCharacters(const QString last[2], const QString fallback[2], int lastWinner, const QString choice[2],
                    bool keepWinner, QString out[2], int *keep);

} // namespace lobby
