#pragma once
// The stand-in's matches: the command words it understands and a result derived from the seed, so
// that both games of a match (and a test) can tell the result in advance.

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

    void take(const CommandLine &command);
};

// "result winner=%1 p1_rounds=%2 p2_rounds=%3[ p1_char=%4 p2_char=%5] match=%6": the winner is side
// 1 for an even seed and side 2 for an odd one; the loser wins (seed / 2) modulo the rounds needed.
QString resultStatus(const MatchSetup &setup);
