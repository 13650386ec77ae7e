#pragma once
// The one process-wide settings store: the user's INI file, optionally backed by a read-only
// "defaults.ini" beside the executable, and one typed accessor per key. Nothing else reads keys.

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>

namespace cfg {

// A key with its built-in default. The accessors below apply each key's own reading rule.
struct Key {
    const char *name;
    QVariant fallback;
};

namespace keys {
// clang-format off
inline const Key serverAddress      {"server/address", QStringLiteral("127.0.0.1:7777")};
inline const Key serverFingerprint  {"server/fingerprint", QString()};
inline const Key serverAutoConnect  {"server/auto_connect", true};
inline const Key accountName        {"account/name", QString()};
inline const Key accountRemember    {"account/remember", true};
inline const Key accountToken       {"account/token", QString()};
inline const Key uiPage             {"ui/page", QStringLiteral("play")};
inline const Key gamePort           {"online/game_port", 7001};
inline const Key inputDelay         {"online/input_delay", QVariant()};
inline const Key hideIp             {"online/hide_ip", false};
inline const Key hideIpAlways       {"online/hide_ip_always", false};
inline const Key strict             {"online/strict", false};
inline const Key upnp               {"online/upnp", true};
inline const Key matchSound         {"online/match_sound", true};
inline const Key maxPing            {"online/max_ping", 150};
inline const Key region             {"online/region", QStringLiteral("eu")};
inline const Key displayMode        {"display/mode", QStringLiteral("borderless")};
inline const Key displayResolution  {"display/resolution", QStringLiteral("desktop")};
inline const Key renderScale        {"display/render_scale", 1};
inline const Key antiAliasing       {"display/anti_aliasing", QStringLiteral("off")};
inline const Key anisotropic        {"display/anisotropic", 0};
inline const Key vsync              {"display/vsync", true};
inline const Key adaptiveSync       {"display/adaptive_sync", false};
inline const Key brightness         {"display/brightness", 100};
inline const Key frameData          {"display/frame_data", true};
inline const Key preferredSide      {"display/preferred_side", QStringLiteral("off")};
inline const Key python             {"tools/python", QStringLiteral("python")};
inline const Key repoRoot           {"tools/repo_root", QString()};
inline const Key devBackground      {"dev/background", false};
inline const Key devLocalPort1      {"dev/local_port1", 7001};
inline const Key devLocalPort2      {"dev/local_port2", 7002};
inline const Key devUdpBlocked      {"dev/udp_blocked", false};
inline const Key devUdpLoopback     {"dev/udp_loopback", false};
inline const Key devUpnpLocation    {"dev/upnp_location", QString()};
// Per-game keys: "%1" is the game id.
inline const Key gameFolder         {"games/%1/folder", QString()};
inline const Key gameExe            {"games/%1/exe", QString()};
inline const Key gameBuildScript    {"games/%1/build_script", QString()};
inline const Key gameBuildArgs      {"games/%1/build_args", QString()};
inline const Key gameImage          {"games/%1/image", QString()};
inline const Key gameUpdatePackage  {"games/%1/update_package", QString()};
inline const Key gameDlc            {"games/%1/dlc", QStringList()};
// clang-format on
} // namespace keys

// The name of a per-game key for one game id.
QString gameKey(const Key &key, const QString &gameId);

// Opens the store. `configPath` is the --config value, empty when absent.
void init(const QString &configPath);
bool isOpen();

// The defaults file, then the settings file: the settings file wins over "defaults.ini", which
// wins over `fallback`. Before init() returns the fallback.
QVariant value(const QString &key, const QVariant &fallback = QVariant());
QVariant value(const Key &key);
bool contains(const QString &key);
// Writes and flushes at once; a "display/" key also rewrites the display file. False, with
// `error` (when given) filled, when the settings file could not be written.
bool set(const QString &key, const QVariant &value, QString *error = nullptr);
void remove(const QString &key);

QString settingsPath();
QString dataDir();
QString sessionsDir();
QString displayFilePath();
QString appDir();

// Removes the keys this version no longer uses; returns their names (groups by group name).
QStringList migrate();
void writeDisplayFile();
// The ten "name=value" lines of the display file, Latin-1.
QByteArray displayFileContents();

// Typed accessors, one per key.
QString serverAddress();
QString serverFingerprint();
bool serverAutoConnect();
QString accountName();
bool accountRemember();
QString accountToken();
QString uiPage();
int gamePort();
int inputDelay(); // 0..4 frames, or -1 for automatic from the ping
bool hideIp();
bool hideIpAlways();
bool strict();
bool upnp();
bool matchSound();
int maxPing();
QString region();
QString displayMode();
QString displayResolution();
int renderScale();
QString antiAliasing();
int anisotropic();
bool vsync();
bool adaptiveSync();
int brightness();
bool frameData();
QString preferredSide();
QString python();
bool devBackground();
int localPort(int instance);
bool devUdpBlocked();
bool devUdpLoopback();
QString devUpnpLocation();
QString buildScript(const QString &gameId);
QString buildArgs(const QString &gameId);
QString gameImage(const QString &gameId);
QString gameUpdatePackage(const QString &gameId);
QStringList gameDlc(const QString &gameId);

QString delayLabel(int frames);
void putDelay(QJsonObject &message, int frames);

bool isPackaged();
QString buildLabel();
QString repoRoot();

QString gameFolder(const QString &gameId);
QString gameExe(const QString &gameId);
QString gameCacheDir(const QString &gameId);
QString gameDiscDir(const QString &gameId);
QString gameDlcDir(const QString &gameId);
QString gameUpdateDir(const QString &gameId);
QString gameUserDir(const QString &gameId);
QString latestSave(const QString &gameId);

// The game definition (a layer above) tells the store each game's default executable name.
void setDefaultExeLookup(std::function<QString(const QString &gameId)> lookup);

// Tests only: use another folder as the launcher's own folder (defaults.ini, VERSION.txt,
// "games"), and forget the computed build label. Call before init().
void setAppDirForTesting(const QString &dir);
// Tests only: close the store so init() can run again.
void resetForTesting();

} // namespace cfg
