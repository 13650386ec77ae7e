#include "gamedata/game.h"

QString TitleUpdate::label() const
{
    return QCoreApplication::translate("Game", "title update %1").arg(number);
}

const GameMode *Game::mode(const QString &modeId) const
{
    for (const GameMode &m : modes) {
        if (m.id == modeId)
            return &m;
    }
    return nullptr;
}
