#pragma once
// The environment a game run gets: the launcher's own, plus the ORX_* variables in a fixed order,
// each replacing a variable of the same name.

#include <QList>
#include <QPair>
#include <QProcessEnvironment>
#include <QString>

struct GameRun {
    QString gameId;
    int instance = 1;
    QString sessionDir;
    bool online = false;
    bool menuGame = false;
};

using EnvVariables = QList<QPair<QString, QString>>;

// The game's variables in order. `launcher` is the launcher's own environment (it decides the
// variables that pass through). Creates the user folder and writes the display file, which the
// game reads at once.
EnvVariables gameVariables(const QProcessEnvironment &launcher, const GameRun &run);

// `launcher` with `variables` applied in order.
QProcessEnvironment gameEnvironment(const QProcessEnvironment &launcher, const EnvVariables &variables);
