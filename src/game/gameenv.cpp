#include "gameenv.h"

#include "controls/controlsfile.h"
#include "core/cfg.h"

#include <QDir>

namespace {

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

EnvVariables gameVariables(const QProcessEnvironment &launcher, const GameRun &run)
{
    EnvVariables v;
    const auto add = [&v](const char *name, const QString &value) { v.append({QLatin1String(name), value}); };
    const QDir session(run.sessionDir);
    const QString id = run.gameId;

    if (run.online) {
        add("ORX_NET", QStringLiteral("1"));
        add("ORX_CMD", native(session.filePath(QStringLiteral("cmd.txt"))));
        add("ORX_STATUS", native(session.filePath(QStringLiteral("status.txt"))));
        // The game reads its netplay log name from "<GAME ID>_NET_LOG"; a developer's own wins.
        const QString netLog = id.toUpper() + QStringLiteral("_NET_LOG");
        if (!launcher.contains(netLog))
            v.append({netLog, native(session.filePath(QStringLiteral("net-{match}.log")))});
        if (!run.menuGame && !launcher.contains(QStringLiteral("ORX_CREATION_SAVE"))) {
            const QString save = cfg::latestSave(id);
            if (!save.isEmpty())
                add("ORX_CREATION_SAVE", native(save));
        }
        if (run.menuGame)
            add("ORX_MENUS", QStringLiteral("1"));
    }

    add("ORX_GAME", id);
    add("ORX_SESSION_DIR", native(run.sessionDir));
    add("ORX_INSTANCE", QString::number(run.instance));
    add("ORX_LOG", native(session.filePath(QStringLiteral("game.log"))));
    add("ORX_GAME_DIR", native(cfg::gameDiscDir(id)));
    add("ORX_UPDATE_DIR", native(cfg::gameUpdateDir(id)));
    add("ORX_DLC_DIR", native(cfg::gameDlcDir(id)));
    // A second online game (the local test) gets a user folder of its own, so the two never share
    // their saves.
    const QString userDir =
        run.online && !run.menuGame ? session.filePath(QStringLiteral("user")) : cfg::gameUserDir(id);
    QDir().mkpath(userDir);
    add("ORX_USER_DIR", native(userDir));
    add("ORX_CACHE_DIR", native(cfg::gameCacheDir(id)));
    add("ORX_CAPTURE_DIR", native(session.filePath(QStringLiteral("captures"))));
    add("ORX_DISPLAY", cfg::displayMode());
    add("ORX_RESOLUTION", cfg::displayResolution());
    add("ORX_RENDER_SCALE", QString::number(cfg::renderScale()));
    add("ORX_ANTI_ALIASING", cfg::antiAliasing());
    add("ORX_ANISOTROPIC", QString::number(cfg::anisotropic()));
    add("ORX_VSYNC", flag(cfg::vsync()));
    add("ORX_ADAPTIVE_SYNC", flag(cfg::adaptiveSync()));
    add("ORX_BRIGHTNESS", QString::number(cfg::brightness()));
    add("ORX_FRAMEDATA", flag(cfg::frameData()));
    add("ORX_PREFERRED_SIDE", cfg::preferredSide());
    cfg::writeDisplayFile();
    add("ORX_DISPLAY_FILE", native(cfg::displayFilePath()));
    add("ORX_CONTROLS", native(controlsPath()));
    return v;
}

QProcessEnvironment gameEnvironment(const QProcessEnvironment &launcher, const EnvVariables &variables)
{
    QProcessEnvironment env = launcher;
    for (const auto &[name, value] : variables)
        env.insert(name, value);
    return env;
}
