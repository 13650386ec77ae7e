#pragma once
// What the stand-in adds to game.log around a match, so the launcher's desync excerpt meets the
// lines a real game writes: milestones, rollback statistics and a graphics warning (never quoted);
// and, on request, a result the checksums did not see.

#include "gamelog.h"
#include "matchplay.h"

// Right after the start or rematch line's own log lines.
void logMatchBegin(GameLog &log, const MatchSetup &match);
// Once the match has an ending line (result, desync, ...).
void logMatchEnd(GameLog &log, const MatchSetup &match, const QString &ending);
// A result line whose rounds were counted wrong after both games agreed on the fight.
QString skewedResult(const QString &resultLine);
// Where "--prepare" records what it prepared: compiler/work/<name>/built.txt beside the executable,
// "<size> <file time>" of the executable. False with `error` filled.
bool writePreparedMark(QString &error);
