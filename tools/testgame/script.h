#pragma once
// Timed behaviour of the stand-in game, read from a small script file. One step per line:
//   [at MS] ACTION [TEXT]
// MS counts from the game's start (0 when "at" is left out). "#" at the start of a line and blank
// lines are ignored. Actions: status TEXT, ask TEXT, log TEXT, print TEXT, print-raw TEXT,
// exit CODE, crash [TEXT], hang, ignore-quit, honour-quit, outcome WORD [FRAME] (how the following
// matches over UDP end, or feed-corrupt: one damaged record in the spectator feed; "none" plays them out),
// draw on|off, choice WORD (rematch, select, leave or none: what the player chooses after a loss), menu [MS]
// (leave the result screen), ignore-park, honour-park, wait PATH[=VALUE] [MS] (the steps after it run
// once the launcher's ui.json holds it, their MS counted from then; MS here: how long to wait before
// giving up with exit code 3, 60000 when left out), capture [partial] (an F3 capture; "partial"
// stops it before its last frame), hang-noticed [TEXT] (a "hang: " line, then silence).

#include <QList>
#include <QString>

struct ScriptStep {
    enum Action {
        Status,
        Ask,
        Log,
        Print,
        PrintRaw,
        Exit,
        Crash,
        Hang,
        IgnoreQuit,
        HonourQuit,
        Outcome,
        Draw,
        Choice,
        Menu,
        IgnorePark,
        HonourPark,
        Wait,
        Capture,
        HangNoticed
    };
    int atMs = 0;
    Action action = Log;
    QString text;
};

// Parses one script text; `origin` names it in errors. Appends to `steps`.
bool parseScript(const QString &text, const QString &origin, QList<ScriptStep> &steps, QString &error);
bool readScript(const QString &path, QList<ScriptStep> &steps, QString &error);

// A wait step's condition and how long it waits before giving up.
struct WaitSpec {
    QString condition;
    int ms = 60000;
};
WaitSpec waitSpec(const ScriptStep &step);

// Puts the steps in the order they run: by time within each stretch between two waits (times after
// a wait count from the moment it held), waits staying where they stand.
void orderSteps(QList<ScriptStep> &steps);
