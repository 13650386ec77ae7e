#pragma once
// The process-wide registry of game definitions, filled once at start-up and read-only afterwards.

#include "gamedata/game.h"

#include <QList>
#include <QString>

class GameRegistry {
public:
    static GameRegistry &instance();

    // Reads every built-in definition (":/data/%1.json"). In a build with the development stand-ins
    // (core/devhooks.h) the variable ORX_GAME_DEFINITION may name a file read instead. Also tells
    // the settings store each game's default executable name.
    static bool load(QString *error);

    const Game *find(const QString &id) const;
    const QList<Game> &games() const { return m_games; }

private:
    GameRegistry() = default;
    QList<Game> m_games;
};
