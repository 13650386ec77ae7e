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
    QString p1, p2; // as the lines named them; "-" or empty: picked in the game
    // From the start line only; a rematch keeps them.
    QString mode;
    int side = 0;
    int localPort = 0;
    QString remote; // "address:port" of the opponent's end of the path
    int delay = 0;
    // Of the last line only.
    bool choose = false;  // " choose=1": the loser chooses at the result screen
    bool selects = false; // a series or lobby match: the game's select screen names every character
    int keep = 0;         // "keep=": this side keeps its character of the last match
    bool keepStage = false;
    // What the match is played with: given by the line, picked in the game from the seed, or kept
    // from the last match. Without the select screen a "-" stays unnamed.
    QString char1, char2, stage;
    QString how1, how2, stageHow; // "given", "picked", "kept"
    // The choice made at this match's result screen; a REMATCH keeps both characters.
    QString choice;

    void take(const CommandLine &command);
    // "p1 kael (given), p2 ryo (picked), stage dock (kept)"
    QString describe() const;
};

// The characters and stages the game picks from: the same seed gives the same picks on both PCs.
QString pickCharacter(quint64 seed, int side);
QString pickStage(quint64 seed);

// Splits "address:port" at its last colon (an IPv6 address may be written in brackets).
bool parseEndpoint(const QString &text, QString &address, quint16 &port);

// "result winner=%1 p1_rounds=%2 p2_rounds=%3[ p1_char=%4 p2_char=%5] match=%6": the winner is side
// 1 for an even seed and side 2 for an odd one; the loser wins (seed / 2) modulo the rounds needed.
// A draw (on demand) has winner 0 and that many rounds on both sides. A sparring match ends with
// "sparring_over match=%1" instead.
QString resultStatus(const MatchSetup &setup, bool draw = false);
// The result of a match played against an opponent: the winner as above; the loser's rounds are
// `finalState` modulo the rounds needed, so both games name them only from the same fight.
QString fightResultStatus(const MatchSetup &setup, quint32 finalState, bool draw = false);
