#include "gamedata/registry.h"

#include "core/cfg.h"
#include "core/devhooks.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {
// The one game this launcher serves.
const char *const builtInIds[] = {"orx"};
} // namespace

GameRegistry &GameRegistry::instance()
{
    static GameRegistry *registry = new GameRegistry; // lives until exit, never destroyed early
    return *registry;
}

bool GameRegistry::load(QString *error)
{
    GameRegistry &registry = instance();
    registry.m_games.clear();
    const QString override = devhooks::value("ORX_GAME_DEFINITION").value_or(QString());
    for (const char *id : builtInIds) {
        const QString name =
            override.isEmpty() ? QStringLiteral(":/data/%1.json").arg(QLatin1String(id)) : override;
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QCoreApplication::translate("Game", "missing game data %1").arg(name);
            return false;
        }
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            *error = QStringLiteral("%1: %2").arg(name, parseError.errorString());
            return false;
        }
        registry.m_games.append(Game::fromJson(document.object()));
    }
    cfg::setDefaultExeLookup([](const QString &gameId) {
        const Game *game = GameRegistry::instance().find(gameId);
        return game ? game->defaultExe : QString();
    });
    return true;
}

const Game *GameRegistry::find(const QString &id) const
{
    for (const Game &game : m_games) {
        if (game.id == id)
            return &game;
    }
    return nullptr;
}
