#include "launchoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <algorithm>

namespace {

struct OptionSpec {
    const char *name;
    const char *valueName; // empty for a flag
    const char *help;
};

// clang-format off
const OptionSpec kOptions[] = {
    {"config", "ini", QT_TRANSLATE_NOOP("LaunchOptions", "Settings file to use.")},
    {"server", "address", QT_TRANSLATE_NOOP("LaunchOptions", "Server address host:port.")},
    {"fingerprint", "hex", QT_TRANSLATE_NOOP("LaunchOptions", "Pinned SHA-256 certificate fingerprint.")},
    {"user", "name", QT_TRANSLATE_NOOP("LaunchOptions", "Development: sign in as this account.")},
    {"password-env", "var", QT_TRANSLATE_NOOP("LaunchOptions", "Development: environment variable holding the password (default ORX_DEV_PASSWORD).")},
    {"register", "", QT_TRANSLATE_NOOP("LaunchOptions", "Development: create the --user account if needed.")},
    {"play", "", QT_TRANSLATE_NOOP("LaunchOptions", "Start the game once the window is up, as PLAY does.")},
    {"queue", "casual|ranked", QT_TRANSLATE_NOOP("LaunchOptions", "Development: start the game and search, as its menu asks, once signed in.")},
    {"game", "id", QT_TRANSLATE_NOOP("LaunchOptions", "Game to select (orx, the only one).")},
    {"mode", "id", QT_TRANSLATE_NOOP("LaunchOptions", "Mode for --queue.")},
    {"character", "id", QT_TRANSLATE_NOOP("LaunchOptions", "Character for --queue.")},
    {"page", "play|build|settings|support", QT_TRANSLATE_NOOP("LaunchOptions", "Page to open.")},
    {"auto-accept", "seconds", QT_TRANSLATE_NOOP("LaunchOptions", "Development: accept found matches after N seconds.")},
    {"cancel-search", "seconds", QT_TRANSLATE_NOOP("LaunchOptions", "Development: cancel the --queue search N seconds after it starts, as CANCEL SEARCH does.")},
    {"local-test", "", QT_TRANSLATE_NOOP("LaunchOptions", "Development: start the two-instance loopback test.")},
    {"extract", "image", QT_TRANSLATE_NOOP("LaunchOptions", "Open Build game and extract this disc image.")},
    {"lobby", "host|join|watch", QT_TRANSLATE_NOOP("LaunchOptions", "Development: host a lobby (start once both are ready), join it (ready at once) or watch it (as a spectator).")},
    {"lobby-name", "name", QT_TRANSLATE_NOOP("LaunchOptions", "Development: the lobby's name for --lobby.")},
    {"lobby-code-file", "path", QT_TRANSLATE_NOOP("LaunchOptions", "Development: --lobby host writes its lobby's code to this file, join reads it from there and joins by the code (Rovivi Practice lobbies are never listed).")},
    {"lobby-matches", "n", QT_TRANSLATE_NOOP("LaunchOptions", "Development: matches to play in the --lobby (default 1).")},
    {"leave-lobby", "", QT_TRANSLATE_NOOP("LaunchOptions", "Development: once the --lobby-matches are played, leave the lobby (its game then closes).")},
    {"leave-lobby-in-match", "seconds", QT_TRANSLATE_NOOP("LaunchOptions", "Development: leave the lobby this many seconds into its first match (its game closes at once).")},
    {"koth", "", QT_TRANSLATE_NOOP("LaunchOptions", "Development: --lobby host makes it a King of the Hill lobby (the winner stays on, the rest wait in line and watch).")},
    {"rate", "n", QT_TRANSLATE_NOOP("LaunchOptions", "Development: in a King of the Hill lobby, rate the winner of each match watched (1 to 10), once this game has shown its end.")},
    {"snap-dir", "folder", QT_TRANSLATE_NOOP("LaunchOptions", "Development: with --page, save a picture of that page to this folder.")},
    {"upnp-probe", "", QT_TRANSLATE_NOOP("LaunchOptions", "Find the router (UPnP) and its public address; open no port.")},
    {"rematches", "n", QT_TRANSLATE_NOOP("LaunchOptions", "Development: after a --queue casual match, choose a rematch this many times (a ranked set plays on by itself).")},
    {"rematch-choice", "choices", QT_TRANSLATE_NOOP("LaunchOptions", "Development: what each --rematches choice is, rematch (the same characters) or select (both pick again), comma-separated; the last one repeats (default rematch).")},
    {"leave-series", "", QT_TRANSLATE_NOOP("LaunchOptions", "Development: once the --rematches are chosen, leave the series at once instead of letting it run out.")},
    {"lobby-own-first", "", QT_TRANSLATE_NOOP("LaunchOptions", "Development: with --lobby join, create a lobby of one's own first, then join the named one from it (the server moves the player).")},
    {"updated", "version", QT_TRANSLATE_NOOP("LaunchOptions", "Started by an update of this version: waits for it to close, then deletes what it set aside.")},
    {"auto-update", "", QT_TRANSLATE_NOOP("LaunchOptions", "Development: install an update offered at once, without asking.")},
    {"drop-at-result", "seconds", QT_TRANSLATE_NOOP("LaunchOptions", "Development: this many seconds after the game first waits at its result screen, the server connection drops as a network would (it comes back by itself).")},
};
// clang-format on
static_assert(std::size(kOptions) == 33, "the launcher has 33 options");

QString text(const QCommandLineParser &p, const char *name)
{
    return p.value(QString::fromLatin1(name));
}

// A value that is not a number reads as 0, then goes through the field's clamp.
int number(const QCommandLineParser &p, const char *name)
{
    return text(p, name).toInt();
}

bool flag(const QCommandLineParser &p, const char *name)
{
    return p.isSet(QString::fromLatin1(name));
}

} // namespace

void addLaunchOptions(QCommandLineParser &parser)
{
    for (const OptionSpec &o : kOptions) {
        const QString help = QCoreApplication::translate("LaunchOptions", o.help);
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(o.name), help, QString::fromLatin1(o.valueName)));
    }
}

QString configOption(const QCommandLineParser &parser)
{
    return text(parser, "config");
}

LaunchOptions readLaunchOptions(const QCommandLineParser &p)
{
    LaunchOptions o;
    o.server = text(p, "server");
    o.fingerprint = text(p, "fingerprint");
    o.user = text(p, "user");
    if (flag(p, "password-env"))
        o.passwordEnv = text(p, "password-env");
    o.registerAccount = flag(p, "register");
    o.play = flag(p, "play");
    o.queue = text(p, "queue");
    o.game = text(p, "game");
    o.mode = text(p, "mode");
    o.character = text(p, "character");
    o.page = text(p, "page");
    if (flag(p, "auto-accept"))
        o.autoAcceptSeconds = number(p, "auto-accept");
    if (flag(p, "cancel-search"))
        o.cancelSearchSeconds = std::max(0, number(p, "cancel-search"));
    o.localTest = flag(p, "local-test");
    o.extractImage = text(p, "extract");
    o.lobby = text(p, "lobby");
    o.lobbyName = text(p, "lobby-name");
    o.lobbyCodeFile = text(p, "lobby-code-file");
    if (flag(p, "lobby-matches"))
        o.lobbyMatches = std::max(1, number(p, "lobby-matches"));
    o.leaveLobby = flag(p, "leave-lobby");
    if (flag(p, "leave-lobby-in-match"))
        o.leaveLobbyInMatchSeconds = std::max(1, number(p, "leave-lobby-in-match"));
    o.koth = flag(p, "koth");
    if (flag(p, "rate"))
        o.rate = std::clamp(number(p, "rate"), 1, 10);
    o.snapDir = text(p, "snap-dir");
    if (flag(p, "rematches"))
        o.rematches = std::max(0, number(p, "rematches"));
    o.rematchChoices = text(p, "rematch-choice").split(QLatin1Char(','), Qt::SkipEmptyParts);
    o.leaveSeries = flag(p, "leave-series");
    o.lobbyOwnFirst = flag(p, "lobby-own-first");
    o.upnpProbe = flag(p, "upnp-probe");
    o.updatedFrom = text(p, "updated");
    o.autoUpdate = flag(p, "auto-update");
    if (flag(p, "drop-at-result"))
        o.dropAtResultSeconds = std::max(1, number(p, "drop-at-result"));
    return o;
}
