#pragma once
// What the stand-in game is asked to do: options from its command line, from the words of
// ORX_TESTGAME_ARGS, and the steps of a script file (--script or ORX_TESTGAME_SCRIPT).

#include "capture.h"
#include "netmatch.h"
#include "script.h"

#include <QList>
#include <QString>
#include <QStringList>

struct Options {
    bool prepare = false;     // a code-preparation run: work a while, then exit 0
    int prepareMs = 500;      // how long the preparation works
    int prepareFail = -1;     // the preparation fails with this exit code (no built.txt)
    bool wrongResult = false; // results counted wrong after the checksums agreed
    int bootMs = 200;         // time in "booting" before "ready"
    int takeAfterMs = 0;      // leave each cmd.txt this long before taking it
    int matchMs = 300;        // time "in_match" before the result (frames played against an opponent)
    int parkMs = 0;           // after "park", the ending it plays before it is back at the hold point
    bool solo = false;        // play every match alone, without the opponent (the result from the seed)
    NetOptions net;           // how matches against an opponent are played
    bool ignoreQuit = false;  // neither "quit" nor a close request ends the game
    bool ignorePark = false;  // "park" changes nothing: the game stays where it is
    QString choice;           // what the player chooses at a result screen after a loss
    QStringList laterChoices; // ... and at the following ones, in order (the last one repeats)
    int choiceMs = 1000;      // ... this long after the result
    int menuAfterMs = -1;     // leave every result screen for the online menu this long after it (-1: never)
    int quitCode = 0;         // exit code after "quit" or a close request
    QString recordDir;        // where the records go; default: the session folder, else the working folder
    QString feedTrace;        // file noting when each frame record of a feed was written or read
    int feedPad = 0;          // filler bytes sent in the feed after each frame record
    QList<ScriptStep> steps;  // timed behaviour
    CaptureOptions capture;   // what an F3 capture holds
};

// Reads the arguments (without the program name), then ORX_TESTGAME_ARGS and ORX_TESTGAME_SCRIPT.
// False with `error` filled on an unknown option or a bad script.
bool parseOptions(const QStringList &arguments, Options &options, QString &error);
