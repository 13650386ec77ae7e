#pragma once
// Fixtures for the updater's tests, made on disk for each case: a packaged application folder
// ("games", VERSION.txt, a stand-in launcher), real zip archives of a release made with bsdtar,
// the offer that names one, hashes of a whole folder, and the immutable flag that makes a file
// impossible to replace even for root.

#include "core/cfg.h"
#include "core/log.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <memory>

namespace kit {

constexpr qint64 mib = 1024 * 1024;
inline const QString newVersion = QStringLiteral("0.2.0");

// The stand-in launcher: records its arguments and working folder beside itself, in "started.txt".
inline QByteArray launcherScript()
{
    return "#!/bin/sh\n"
           "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; printf 'cwd=%s\\n' \"$(pwd)\"; } "
           "> \"$(dirname \"$0\")/started.txt.$$\"\n"
           "mv \"$(dirname \"$0\")/started.txt.$$\" \"$(dirname \"$0\")/started.txt\"\n";
}

inline QByteArray versionLine(const QString &version,
                              const QString &build = QStringLiteral("2026-12-01 10:00"))
{
    return QStringLiteral("ORX-Rovivi %1, packaged %2\n").arg(version, build).toUtf8();
}

inline bool writeTree(const QString &root, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.begin(); it != files.end(); ++it)
        if (!testutil::writeAll(QDir(root).filePath(it.key()), it.value()))
            return false;
    return true;
}

// A packaged launcher's folder as the player has it.
inline QMap<QString, QByteArray> installedFiles()
{
    return {{QStringLiteral("VERSION.txt"),
             versionLine(QStringLiteral("0.1.8"), QStringLiteral("2026-11-01 09:00"))},
            {QStringLiteral("orx-launcher"), "#!/bin/sh\necho old launcher\n"},
            {QStringLiteral("games/orx/orx.exe"), "old game exe"},
            {QStringLiteral("games/orx/data.bin"), "old data"},
            {QStringLiteral("translations/orx_de.qm"), "old translation"}};
}

inline bool layOutApp(const QString &app)
{
    return writeTree(app, installedFiles());
}

// A release tree (relative to its "ORX-Rovivi" root) with the new launcher stand-in.
inline QMap<QString, QByteArray> releaseFiles(const QString &version = newVersion)
{
    return {{QStringLiteral("VERSION.txt"), versionLine(version)},
            {QStringLiteral("orx-launcher"), launcherScript()},
            {QStringLiteral("games/orx/orx.exe"), "new game exe"},
            {QStringLiteral("games/orx/data.bin"), "new data"},
            {QStringLiteral("translations/orx_de.qm"), "new translation"}};
}

// A zip archive of `files` under "ORX-Rovivi", made by bsdtar in `work` (left there). Files are
// stored without the run flag, as archives made on Windows have them.
inline QByteArray zipOf(const QString &work, const QMap<QString, QByteArray> &files, QString *error = nullptr)
{
    const QString root = QDir(work).filePath(QStringLiteral("tree"));
    QDir(root).removeRecursively();
    if (!writeTree(QDir(root).filePath(QStringLiteral("ORX-Rovivi")), files))
        return {};
    const QString out = QDir(work).filePath(QStringLiteral("release.zip"));
    QFile::remove(out);
    QProcess p;
    p.start(QStringLiteral("bsdtar"),
            {QStringLiteral("--format"), QStringLiteral("zip"), QStringLiteral("-cf"), out,
             QStringLiteral("-C"), root, QStringLiteral("ORX-Rovivi")});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        if (error)
            *error = QString::fromUtf8(p.readAllStandardError()) + p.errorString();
        return {};
    }
    return testutil::readAll(out);
}

inline QByteArray randomBytes(qint64 n)
{
    QList<quint32> words((n + 3) / 4);
    QRandomGenerator gen(0x5eed + quint32(n));
    gen.fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), n);
}

inline QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

inline QJsonObject offer(const QByteArray &archive, const QString &url, const QString &version = newVersion)
{
    return {{"version", version},
            {"build", "2026-12-01 10:00"},
            {"size", double(archive.size())},
            {"sha256", sha256(archive)},
            {"url", url}};
}

// Every file and folder under `dir` with its content's hash, except the "update" working folder.
inline QMap<QString, QString> folderState(const QString &dir)
{
    QMap<QString, QString> out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(dir).relativeFilePath(path);
        if (rel == QLatin1String("update") || rel.startsWith(QLatin1String("update/")))
            continue;
        out.insert(rel, it.fileInfo().isDir() ? QStringLiteral("(folder)") : sha256(testutil::readAll(path)));
    }
    return out;
}

// The immutable flag (root only): the file can be neither replaced, renamed nor deleted. Cleared
// again when the guard ends, also when a check failed on the way.
class Immutable {
public:
    explicit Immutable(const QString &path) : m_path(path) { m_on = run(QStringLiteral("+i")); }
    ~Immutable() { clear(); }
    bool on() const { return m_on; }
    void clear()
    {
        if (m_on)
            run(QStringLiteral("-i"));
        m_on = false;
    }

private:
    bool run(const QString &flag) { return QProcess::execute(QStringLiteral("chattr"), {flag, m_path}) == 0; }
    QString m_path;
    bool m_on = false;
};

// A folder nobody but root may change (the non-root stand-in for a locked file); the rights come
// back when the guard ends.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString &path) : m_path(path)
    {
        m_was = QFile::permissions(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
    }
    ~ReadOnlyFolder() { QFile::setPermissions(m_path, m_was); }

private:
    QString m_path;
    QFile::Permissions m_was;
};

// One case's folders: a packaged application folder (unless `packaged` is false), the settings file
// and log elsewhere, and the settings store opened on them.
struct Case {
    std::unique_ptr<QTemporaryDir> dir{new QTemporaryDir};
    QString app;
    QString config;
    qint64 logStart = 0;

    // `configDir`: where the settings and the log go (else beside the application folder).
    explicit Case(bool packaged = true, const QByteArray &versionText = {}, const QString &configDir = {})
    {
        app = dir->filePath(QStringLiteral("app"));
        config = QDir(configDir.isEmpty() ? dir->filePath(QStringLiteral("config")) : configDir)
                     .filePath(QStringLiteral("orx-launcher.ini"));
        QDir().mkpath(app);
        QDir().mkpath(QFileInfo(config).absolutePath());
        if (packaged) {
            layOutApp(app);
            if (!versionText.isEmpty())
                testutil::writeAll(QDir(app).filePath(QStringLiteral("VERSION.txt")), versionText);
        }
        cfg::resetForTesting();
        cfg::setAppDirForTesting(app);
        cfg::init(config);
        logStart = QFileInfo(logFilePath()).size();
    }
    ~Case() { cfg::resetForTesting(); }
    QString log() const { return QString::fromUtf8(testutil::readAll(logFilePath()).mid(logStart)); }
    QString update(const QString &name = {}) const
    {
        return QDir(app).filePath(name.isEmpty() ? QStringLiteral("update")
                                                 : QStringLiteral("update/") + name);
    }
};

} // namespace kit
