#pragma once
// The stand-in's matches: the command words it understands, the match a start line sets up, and the
// result lines. Alone the result comes from the seed; against an opponent the seed names the winner
// and the fight the two games played (their shared final state) the loser's rounds.

#include <QMap>
#include <QString>

struct CommandLine {
    QString verb;
    QMap<QString, QString> values; // key=value words; a repeated key keeps its last value
};

CommandLine parseCommandLine(const QString &line);

// The match the game plays: the start line's values, updated by each rematch line.
struct MatchSetup {
    QString match;
    quint64 seed = 0;
    int rounds = 3;
    QString p1, p2;
    // From the start line only; a rematch keeps them.
    int side = 0;
    int localPort = 0;
    QString remote; // "address:port" of the opponent's end of the path
    int delay = 0;

    void take(const CommandLine &command);
};

// Splits "address:port" at its last colon (an IPv6 address may be written in brackets).
bool parseEndpoint(const QString &text, QString &address, quint16 &port);

// "result winner=%1 p1_rounds=%2 p2_rounds=%3[ p1_char=%4 p2_char=%5] match=%6": the winner is side
// 1 for an even seed and side 2 for an odd one; the loser wins (seed / 2) modulo the rounds needed.
QString resultStatus(const MatchSetup &setup);
// The result of a match played against an opponent: the winner as above; the loser's rounds are
// `finalState` modulo the rounds needed, so both games name them only from the same fight.
QString fightResultStatus(const MatchSetup &setup, quint32 finalState);
