#include "cfg.h"

#include "platform/buildscript.h"
#include "platform/platform.h"
#include "version.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>
#include <memory>
#include <optional>

namespace cfg {
namespace {

struct Store {
    std::unique_ptr<QSettings> user;
    std::unique_ptr<QSettings> defaults;
    QString settingsPath;
    QString dataDir;
    bool writeFailed = false; // the last write failed: `user` holds a stale error state
};

Store &store()
{
    static Store s;
    return s;
}

QString &appDirOverride()
{
    static QString dir;
    return dir;
}

std::optional<QString> &cachedBuildLabel()
{
    static std::optional<QString> label;
    return label;
}

std::function<QString(const QString &)> &exeLookup()
{
    static std::function<QString(const QString &)> fn;
    return fn;
}

int clampInt(const QVariant &v, int lo, int hi)
{
    return qBound(lo, v.toInt(), hi);
}

QString oneOf(const QString &v, std::initializer_list<const char *> allowed, const char *otherwise)
{
    for (const char *a : allowed)
        if (v == QLatin1String(a))
            return v;
    return QString::fromLatin1(otherwise);
}

} // namespace

QString gameKey(const Key &key, const QString &gameId)
{
    return QString::fromLatin1(key.name).arg(gameId);
}

QString appDir()
{
    if (!appDirOverride().isEmpty())
        return appDirOverride();
    return QCoreApplication::applicationDirPath();
}

void setAppDirForTesting(const QString &dir)
{
    appDirOverride() = dir;
    cachedBuildLabel().reset();
}

void resetForTesting()
{
    store().user.reset();
    store().defaults.reset();
    store().settingsPath.clear();
    store().dataDir.clear();
    cachedBuildLabel().reset();
}

void init(const QString &configPath)
{
    Store &s = store();
    QString path;
    if (configPath.isEmpty()) {
        QString folder = appDir();
        QDir().mkpath(folder);
        QFile probe(QDir(folder).filePath(QStringLiteral(".write-test")));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.close();
            probe.remove();
        } else {
            // The per-user folder depends on the organisation and application names.
            folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        }
        path = QDir(folder).filePath(QStringLiteral("orx-launcher.ini"));
    } else {
        path = QFileInfo(configPath).absoluteFilePath();
    }
    s.settingsPath = QDir::cleanPath(path);
    s.dataDir = QFileInfo(s.settingsPath).absolutePath();
    QDir().mkpath(s.dataDir);
    QDir(s.dataDir).mkpath(QStringLiteral("sessions"));
    s.user = std::make_unique<QSettings>(s.settingsPath, QSettings::IniFormat);
    s.writeFailed = false;
    const QString defaultsPath = QDir(appDir()).filePath(QStringLiteral("defaults.ini"));
    if (QFileInfo(defaultsPath).isFile())
        s.defaults = std::make_unique<QSettings>(defaultsPath, QSettings::IniFormat);
    else
        s.defaults.reset();
}

bool isOpen()
{
    return store().user != nullptr;
}

QVariant value(const QString &key, const QVariant &fallback)
{
    Store &s = store();
    if (!s.user)
        return fallback;
    QVariant fb = fallback;
    if (s.defaults)
        fb = s.defaults->value(key, fallback);
    return s.user->value(key, fb);
}

QVariant value(const Key &key)
{
    return value(QString::fromLatin1(key.name), key.fallback);
}

bool contains(const QString &key)
{
    Store &s = store();
    return (s.user && s.user->contains(key)) || (s.defaults && s.defaults->contains(key));
}

bool set(const QString &key, const QVariant &v, QString *error)
{
    Store &s = store();
    if (!s.user) {
        if (error)
            *error = QCoreApplication::translate("cfg", "The settings are not open.");
        return false;
    }
    // QSettings keeps reporting its first error: after a failed write, start afresh from the
    // file, so a write that works is reported as saved (the values not saved are not kept).
    if (s.writeFailed)
        s.user = std::make_unique<QSettings>(s.settingsPath, QSettings::IniFormat);
    s.user->setValue(key, v);
    s.user->sync();
    const bool saved = s.user->status() == QSettings::NoError;
    s.writeFailed = !saved;
    if (!saved && error)
        *error = QCoreApplication::translate("cfg", "Could not save the settings to %1.")
                     .arg(QDir::toNativeSeparators(s.settingsPath));
    if (key.startsWith(QLatin1String("display/")))
        writeDisplayFile();
    return saved;
}

void remove(const QString &key)
{
    Store &s = store();
    if (!s.user)
        return;
    s.user->remove(key);
    s.user->sync();
}

QString settingsPath()
{
    return store().settingsPath;
}

QString dataDir()
{
    return store().dataDir;
}

QString sessionsDir()
{
    return store().dataDir.isEmpty() ? QString() : QDir(store().dataDir).filePath(QStringLiteral("sessions"));
}

QString displayFilePath()
{
    return store().dataDir.isEmpty() ? QString()
                                     : QDir(store().dataDir).filePath(QStringLiteral("display.txt"));
}

QStringList migrate()
{
    static const char *const oldKeys[] = {
        "online/practice_while_waiting", "online/search_again",
        "online/pick_in_game",           "online/koth",
        "display/volume_master",         "display/volume_music",
        "display/volume_effects",        "display/volume_voices",
    };
    static const char *const oldGroups[] = {"ui/ranked", "ui/casual", "ui/orx"};
    QStringList removed;
    QSettings *user = store().user.get();
    if (!user)
        return removed;
    for (const char *k : oldKeys) {
        const QString key = QString::fromLatin1(k);
        if (user->contains(key)) {
            user->remove(key);
            removed << key;
        }
    }
    for (const char *g : oldGroups) {
        const QString group = QString::fromLatin1(g);
        user->beginGroup(group);
        const bool any = !user->allKeys().isEmpty();
        user->endGroup();
        if (any) {
            user->remove(group);
            removed << group;
        }
    }
    if (!removed.isEmpty())
        user->sync();
    return removed;
}

QByteArray displayFileContents()
{
    QString text;
    const auto line = [&text](const char *name, const QString &v) {
        text += QLatin1String(name) + QLatin1Char('=') + v + QLatin1Char('\n');
    };
    const auto flag = [](bool b) { return b ? QStringLiteral("1") : QStringLiteral("0"); };
    line("mode", displayMode());
    line("resolution", displayResolution());
    line("render_scale", QString::number(renderScale()));
    line("anti_aliasing", antiAliasing());
    line("anisotropic", QString::number(anisotropic()));
    line("vsync", flag(vsync()));
    line("adaptive_sync", flag(adaptiveSync()));
    line("brightness", QString::number(brightness()));
    line("frame_data", flag(frameData()));
    line("preferred_side", preferredSide());
    return text.toLatin1();
}

void writeDisplayFile()
{
    const QString path = displayFilePath();
    if (path.isEmpty())
        return;
    // A game holding the file past the budget misses this one; the next change writes it again.
    platform::writeFileAtomically(path, displayFileContents(), nullptr, 1000);
}

// --- typed accessors -------------------------------------------------------------------------

QString serverAddress()
{
    return value(keys::serverAddress).toString();
}
QString serverFingerprint()
{
    return value(keys::serverFingerprint).toString();
}
bool serverAutoConnect()
{
    return value(keys::serverAutoConnect).toBool();
}
QString accountName()
{
    return value(keys::accountName).toString();
}
bool accountRemember()
{
    return value(keys::accountRemember).toBool();
}
QString accountToken()
{
    return value(keys::accountToken).toString();
}
QString uiPage()
{
    return value(keys::uiPage).toString();
}
int gamePort()
{
    return value(keys::gamePort).toInt();
}
bool hideIp()
{
    return value(keys::hideIp).toBool();
}
bool hideIpAlways()
{
    return value(keys::hideIpAlways).toBool();
}
bool strict()
{
    return value(keys::strict).toBool();
}
bool upnp()
{
    return value(keys::upnp).toBool();
}
bool matchSound()
{
    return value(keys::matchSound).toBool();
}
int maxPing()
{
    return value(keys::maxPing).toInt();
}
QString region()
{
    return value(keys::region).toString();
}
QString displayMode()
{
    return value(keys::displayMode).toString();
}
QString displayResolution()
{
    return value(keys::displayResolution).toString();
}
int renderScale()
{
    return clampInt(value(keys::renderScale), 1, 4);
}
int brightness()
{
    return clampInt(value(keys::brightness), 50, 200);
}
bool vsync()
{
    return value(keys::vsync).toBool();
}
bool adaptiveSync()
{
    return value(keys::adaptiveSync).toBool();
}
bool frameData()
{
    return value(keys::frameData).toBool();
}
QString python()
{
    return value(keys::python).toString();
}
bool devBackground()
{
    return value(keys::devBackground).toBool();
}
bool devUdpBlocked()
{
    return value(keys::devUdpBlocked).toBool();
}
bool devUdpLoopback()
{
    return value(keys::devUdpLoopback).toBool();
}
QString devUpnpLocation()
{
    return value(keys::devUpnpLocation).toString();
}

QString antiAliasing()
{
    return oneOf(value(keys::antiAliasing).toString(), {"off", "fxaa", "fxaa_extreme"}, "off");
}

int anisotropic()
{
    const int v = value(keys::anisotropic).toInt();
    return (v == 2 || v == 4 || v == 8 || v == 16) ? v : 0;
}

QString preferredSide()
{
    return oneOf(value(keys::preferredSide).toString(), {"off", "left", "right"}, "off");
}

int localPort(int instance)
{
    return value(instance == 2 ? keys::devLocalPort2 : keys::devLocalPort1).toInt();
}

int inputDelay()
{
    const QString key = QString::fromLatin1(keys::inputDelay.name);
    const QVariant v = value(key, QVariant());
    if (v.isValid()) {
        bool ok = false;
        const int n = v.toString().trimmed().toInt(&ok, 10);
        return ok ? qBound(0, n, 4) : -1;
    }
    // Settings from before "online/input_delay": the legacy pair, from the settings file alone.
    QSettings *user = store().user.get();
    if (!user)
        return -1;
    const bool autoDelay = user->value(QStringLiteral("online/auto_delay"), true).toBool();
    const QVariant delay = user->value(QStringLiteral("online/delay"));
    if (!autoDelay && delay.isValid())
        return qBound(0, delay.toInt(), 4);
    return -1;
}

QString delayLabel(int frames)
{
    if (frames < 0)
        return QCoreApplication::translate("cfg", "Auto (from the ping)");
    if (frames == 1)
        return QCoreApplication::translate("cfg", "1 frame");
    return QCoreApplication::translate("cfg", "%1 frames").arg(frames);
}

void putDelay(QJsonObject &message, int frames)
{
    if (frames < 0) {
        message.insert(QStringLiteral("delay"), 1);
        message.insert(QStringLiteral("delay_auto"), true);
    } else {
        message.insert(QStringLiteral("delay"), frames);
    }
}

QString buildScript(const QString &gameId)
{
    const QString set = value(gameKey(keys::gameBuildScript, gameId), QString()).toString();
    if (!set.isEmpty())
        return set;
    // "build-game.cmd" on Windows; each system names the one script kind it runs.
    return QDir(gameFolder(gameId)).filePath(platform::buildScriptName());
}

QString buildArgs(const QString &gameId)
{
    return value(gameKey(keys::gameBuildArgs, gameId), QString()).toString();
}
QString gameImage(const QString &gameId)
{
    return value(gameKey(keys::gameImage, gameId), QString()).toString();
}
QString gameUpdatePackage(const QString &gameId)
{
    return value(gameKey(keys::gameUpdatePackage, gameId), QString()).toString();
}
QStringList gameDlc(const QString &gameId)
{
    return value(gameKey(keys::gameDlc, gameId), QStringList()).toStringList();
}

bool isPackaged()
{
    return QFileInfo(QDir(appDir()).filePath(QStringLiteral("games"))).isDir();
}

QString buildLabel()
{
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    auto &cached = cachedBuildLabel();
    if (cached)
        return *cached;
    cached = QString();
    if (!isPackaged())
        return *cached;
    QFile file(QDir(appDir()).filePath(QStringLiteral("VERSION.txt")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return *cached;
    QString line = QString::fromUtf8(file.readLine());
    line.remove(QChar(0xFEFF));
    line = line.trimmed();
    const QString prefix = QStringLiteral("ORX-Rovivi %1,").arg(QLatin1String(kLauncherVersion));
    if (!line.startsWith(prefix))
        return *cached;
    static const QRegularExpression re(QStringLiteral("packaged ([0-9A-Za-z :._-]{1,40})$"));
    const auto m = re.match(line);
    if (m.hasMatch())
        cached = m.captured(1).trimmed();
    return *cached;
}

QString repoRoot()
{
    const QString set = value(keys::repoRoot).toString();
    if (!set.isEmpty())
        return set;
    QDir dir(appDir());
    for (int i = 0; i < 8; ++i) {
        if (QFileInfo(dir.filePath(QStringLiteral("tools/py/x360.py"))).isFile() &&
            QFileInfo(dir.filePath(QStringLiteral("launcher/CMakeLists.txt"))).isFile())
            return dir.absolutePath();
        if (!dir.cdUp())
            break;
    }
    return appDir();
}

QString gameFolder(const QString &gameId)
{
    const QString set = value(gameKey(keys::gameFolder, gameId), QString()).toString();
    if (!set.isEmpty())
        return set;
    const QString packaged = QDir(appDir()).filePath(QStringLiteral("games/") + gameId);
    if (QFileInfo(packaged).isDir())
        return packaged;
    return QDir(repoRoot()).filePath(QStringLiteral("game"));
}

void setDefaultExeLookup(std::function<QString(const QString &)> lookup)
{
    exeLookup() = std::move(lookup);
}

QString gameExe(const QString &gameId)
{
    const QString set = value(gameKey(keys::gameExe, gameId), QString()).toString();
    if (!set.isEmpty())
        return set;
    QString name = exeLookup() ? exeLookup()(gameId) : QString();
    if (name.isEmpty())
        name = gameId + QStringLiteral(".exe");
    const QString inFolder = QDir(gameFolder(gameId)).filePath(name);
    if (isPackaged() || QFileInfo::exists(inFolder))
        return inFolder;
    return QDir(repoRoot()).filePath(QStringLiteral("%1/out/build/win-amd64-release/%2").arg(gameId, name));
}

static QString gameSub(const QString &gameId, const char *sub)
{
    return QDir(gameFolder(gameId)).filePath(QString::fromLatin1(sub));
}

QString gameCacheDir(const QString &gameId)
{
    return gameSub(gameId, "cache");
}
QString gameDiscDir(const QString &gameId)
{
    return gameSub(gameId, "disc");
}
QString gameDlcDir(const QString &gameId)
{
    return gameSub(gameId, "dlc");
}
QString gameUpdateDir(const QString &gameId)
{
    return gameSub(gameId, "update");
}
QString gameUserDir(const QString &gameId)
{
    return gameSub(gameId, "user");
}

QString latestSave(const QString &gameId)
{
    if (gameId != QLatin1String("orx"))
        return QString();
    QString best;
    QDateTime bestTime;
    const QDir user(gameUserDir(gameId));
    const QStringList subs = user.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QString &sub : subs) {
        const QFileInfo fi(
            user.filePath(sub + QStringLiteral("/5D3A0F21/00000001/ORXSaveData/savedata.bin")));
        if (!fi.isFile())
            continue;
        const QDateTime t = fi.lastModified();
        if (best.isEmpty() || t > bestTime) {
            best = fi.absoluteFilePath();
            bestTime = t;
        }
    }
    return best;
}

} // namespace cfg
