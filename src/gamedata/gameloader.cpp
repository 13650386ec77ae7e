// Reading a definition document. No field is required: a missing key or a value of another type
// reads as the field's default, so an older or newer document never stops the launcher.

#include "gamedata/game.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QString text(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}
bool flag(const QJsonObject &o, const char *key, bool fallback = false)
{
    return o.value(QLatin1String(key)).toBool(fallback);
}
int number(const QJsonObject &o, const char *key, int fallback)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isDouble() ? v.toInt(fallback) : fallback;
}

TitleUpdate readTitleUpdate(const QJsonObject &o)
{
    TitleUpdate update;
    update.number = number(o, "number", 0);
    update.package = text(o, "package");
    update.packageNote = text(o, "package_note");
    update.xexpSha1 = text(o, "xexp_sha1");
    update.fromVersion = text(o, "from_version");
    update.toVersion = text(o, "to_version");
    const QJsonObject files = o.value(QLatin1String("files")).toObject();
    for (auto it = files.begin(); it != files.end(); ++it)
        update.files.insert(it.key(), it.value().toString());
    return update;
}

GameMode readMode(const QJsonObject &o)
{
    GameMode mode;
    mode.id = text(o, "id");
    mode.name = text(o, "name");
    mode.description = text(o, "description");
    mode.roster = text(o, "roster");
    const QJsonValue select = o.value(QLatin1String("character_select"));
    if (select.isString())
        mode.characterSelect = select.toString();
    mode.online = flag(o, "online");
    mode.ranked = flag(o, "ranked");
    for (const QJsonValue v : o.value(QLatin1String("rounds")).toArray())
        mode.rounds.append(v.isDouble() ? v.toInt() : 0);
    mode.defaultRounds = number(o, "default_rounds", 3);
    mode.lobbyOnly = flag(o, "lobby_only");
    return mode;
}

} // namespace

Game Game::fromJson(const QJsonObject &o)
{
    Game game;
    game.id = text(o, "id");
    game.title = text(o, "title");
    game.shortName = text(o, "short");
    game.edition = text(o, "edition");
    game.titleId = text(o, "title_id");
    game.mediaId = text(o, "media_id");
    game.defaultExe = text(o, "default_exe");
    game.xexSha1 = text(o, "xex_sha1");
    game.xexVersion = text(o, "xex_version");
    game.discName = text(o, "disc_name");
    game.discSha1 = text(o, "disc_sha1");
    game.titleUpdate = readTitleUpdate(o.value(QLatin1String("title_update")).toObject());
    for (const QJsonValue v : o.value(QLatin1String("older_title_updates")).toArray())
        game.olderTitleUpdates.append(readTitleUpdate(v.toObject()));
    game.notes = text(o, "notes");
    for (const QJsonValue v : o.value(QLatin1String("modes")).toArray())
        game.modes.append(readMode(v.toObject()));
    const QJsonObject rosters = o.value(QLatin1String("rosters")).toObject();
    for (auto it = rosters.begin(); it != rosters.end(); ++it) {
        QList<RosterEntry> &list = game.rosters[it.key()];
        for (const QJsonValue v : it.value().toArray()) {
            const QJsonObject e = v.toObject();
            RosterEntry entry;
            entry.id = text(e, "id");
            entry.name = text(e, "name");
            entry.secret = flag(e, "secret");
            entry.gameId = number(e, "game_id", -1);
            list.append(entry);
            if (entry.gameId >= 0)
                game.characterNames.insert(entry.gameId, entry.name);
        }
    }
    for (const QJsonValue v : o.value(QLatin1String("not_playable")).toArray()) {
        const QJsonObject e = v.toObject();
        const int gameId = number(e, "game_id", -1);
        if (gameId >= 0)
            game.characterNames.insert(gameId, text(e, "name"));
        game.notPlayableLines.append(QStringLiteral("%1: %2").arg(text(e, "name"), text(e, "note")));
    }
    return game;
}
