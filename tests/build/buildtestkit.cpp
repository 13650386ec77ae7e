#include "buildtestkit.h"

#include "core/cfg.h"
#include "core/log.h"
#include "gamedata/registry.h"
#include "x360/disc.h"
#include "x360/package.h"
#include "x360/writer/discwriter.h"
#include "x360/writer/packagewriter.h"

#include "testutil.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

BuildTestEnv::BuildTestEnv()
{
    cfg::resetForTesting();
    cfg::setAppDirForTesting(path(QStringLiteral("app")));
    QDir().mkpath(path(QStringLiteral("app")));
    cfg::init(path(QStringLiteral("data/orx-launcher.ini")));
    cfg::set(cfg::gameKey(cfg::keys::gameFolder, QStringLiteral("orx")), gameFolder());
    cfg::set(cfg::gameKey(cfg::keys::gameExe, QStringLiteral("orx")),
             QDir(gameFolder()).filePath(QStringLiteral("orx.exe")));
}

BuildTestEnv::~BuildTestEnv()
{
    cfg::resetForTesting();
}

QString BuildTestEnv::gameFolder() const
{
    return path(QStringLiteral("game"));
}

QString BuildTestEnv::path(const QString &name) const
{
    return QDir(m_dir.path()).filePath(name);
}

BuildFolders BuildTestEnv::folders() const
{
    const QDir game(gameFolder());
    return {game.filePath(QStringLiteral("disc")), game.filePath(QStringLiteral("update")),
            game.filePath(QStringLiteral("dlc"))};
}

const Game &demoGame()
{
    static const Game *game = [] {
        QString error;
        if (GameRegistry::instance().games().isEmpty() && !GameRegistry::load(&error))
            qFatal("cannot load the game definition: %s", qPrintable(error));
        return GameRegistry::instance().find(QStringLiteral("orx"));
    }();
    return *game;
}

QString demoDir()
{
    static QTemporaryDir dir;
    static const bool made = [] {
        QProcess make;
        make.start(QDir(qEnvironmentVariable("ORX_BIN_DIR")).filePath(QStringLiteral("orx-x360")),
                   {QStringLiteral("make-demo"), dir.path()});
        return make.waitForFinished(deadline(120000)) && make.exitStatus() == QProcess::NormalExit &&
               make.exitCode() == 0;
    }();
    if (!made)
        qFatal("orx-x360 make-demo failed");
    return dir.path();
}

QString demoImage()
{
    return QDir(demoDir()).filePath(QStringLiteral("Ironmere IV (World).iso"));
}
QString demoUpdate()
{
    return QDir(demoDir()).filePath(QStringLiteral("TU_ORX_0003O2"));
}
QString demoOlderUpdate()
{
    return QDir(demoDir()).filePath(QStringLiteral("TU_ORX_0001O2"));
}
QString demoDlc()
{
    return QDir(demoDir()).filePath(QStringLiteral("ORX_DLC_0013"));
}

static QByteArray demoUpdateFile(const QString &name)
{
    x360::Package package;
    QString error;
    QByteArray bytes;
    if (!package.open(demoUpdate(), &error) || !package.find(name) ||
        !package.read(*package.find(name), &bytes, &error))
        qFatal("cannot read %s from the demo update: %s", qPrintable(name), qPrintable(error));
    return bytes;
}

QByteArray demoXexp()
{
    static const QByteArray bytes = demoUpdateFile(QStringLiteral("default.xexp"));
    return bytes;
}

QByteArray demoPatch()
{
    static const QByteArray bytes = demoUpdateFile(QStringLiteral("patch.cpk"));
    return bytes;
}

PackageSpec demoUpdateSpec()
{
    PackageSpec spec;
    spec.files.insert(QStringLiteral("default.xexp"), demoXexp());
    spec.files.insert(QStringLiteral("patch.cpk"), demoPatch());
    return spec;
}

QString writePackage(const QString &path, const PackageSpec &spec)
{
    x360::writer::PackageBuilder builder;
    builder.magic = spec.magic;
    builder.contentType = spec.contentType;
    builder.titleId = spec.titleId;
    builder.displayName = spec.displayName;
    builder.titleName = spec.titleName;
    for (auto it = spec.files.cbegin(); it != spec.files.cend(); ++it)
        builder.addFile(it.key(), it.value());
    writeFile(path, builder.build());
    return path;
}

QString writeDisc(const QString &path, const QMap<QString, QByteArray> &files)
{
    x360::writer::DiscImage disc;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        disc.addFile(it.key(), it.value());
    QString error;
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!disc.write(path, x360::writer::xgd2Offset, &error))
        qWarning("cannot write the disc image: %s", qPrintable(error));
    return path;
}

HeldImage writeHeldImage(const BuildTestEnv &env, QString *error)
{
    HeldImage held;
    x360::Disc demo;
    QByteArray xex;
    if (!demo.open(demoImage(), error) || !demo.read(*demo.find("default.xex"), &xex, error))
        return held;
    x360::writer::DiscImage image;
    image.addFile("default.xex", xex);
    image.addPatternFile("data/first.cpk", held.firstBytes, 7);
    image.addPatternFile("data/second.cpk", held.secondBytes, 8);
    const QString path = env.path("three.iso");
    if (!image.write(path, x360::writer::xgd2Offset, error))
        return held;
    const QString part = QDir(env.folders().disc).filePath("data/second.cpk.part");
    if (!QDir().mkpath(QFileInfo(part).absolutePath()) ||
        ::mkfifo(QFile::encodeName(part).constData(), 0600) != 0) {
        *error = QStringLiteral("cannot make the pipe %1").arg(part);
        return held;
    }
    held.image = path;
    held.part = part;
    held.xexBytes = xex.size();
    return held;
}

// The shared test utilities hold the file helpers; these names stay for the kit's callers.
void writeFile(const QString &path, const QByteArray &bytes)
{
    testutil::writeAll(path, bytes);
}

QByteArray readFile(const QString &path)
{
    return testutil::readAll(path);
}

QString writeScript(const QString &path, const QByteArray &body)
{
    return testutil::writeScript(path, body);
}

QStringList launcherLogLines()
{
    return QString::fromUtf8(readFile(logFilePath())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList partFiles(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, {QStringLiteral("*.part")}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

int deadline(int ms)
{
    return ms * qMax(1, qEnvironmentVariableIntValue("ORX_TEST_SLOW"));
}

PipelineRecorder::PipelineRecorder(BuildPipeline *pipeline) : pipeline(pipeline)
{
    connect(pipeline, &BuildPipeline::logLine, this, [this](const QString &text) { lines << text; });
    connect(pipeline, &BuildPipeline::cannotBuild, this,
            [this](const QString &text) { cannotBuild << text; });
    connect(pipeline, &BuildPipeline::titleUpdateNeeded, this,
            [this](const QString &text) { updateNeeded << text; });
    connect(pipeline, &BuildPipeline::busyChanged, this, [this](bool busy) { busyChanges << busy; });
    connect(pipeline, &BuildPipeline::filesPlaced, this, [this](bool ok) { placed << ok; });
    connect(pipeline, &BuildPipeline::compiled, this, [this](bool built) { compiled << built; });
    connect(pipeline, &BuildPipeline::progressChanged, this,
            [this](int, int, int, const QString &format) { formats << format; });
}
