#pragma once
// Shared fixtures of the build pipeline tests: a private settings store and game folder per test,
// the demo release written by the real orx-x360, damaged packages built in code, and a recorder of
// what a pipeline reports.

#include "build/buildpipeline.h"
#include "gamedata/game.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class BuildTestEnv {
public:
    BuildTestEnv();
    ~BuildTestEnv();
    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString gameFolder() const;
    QString path(const QString &name) const;
    BuildFolders folders() const;

private:
    QTemporaryDir m_dir;
};

const Game &demoGame();

// The demo release (written once per test program by `orx-x360 make-demo`).
QString demoDir();
QString demoImage();
QString demoUpdate();      // title update 3, the current one
QString demoOlderUpdate(); // title update 1
QString demoDlc();

// The demo update's files, read from its package with the package reader.
QByteArray demoXexp();
QByteArray demoPatch();

// A package like the demo update, with fields or files changed. An empty file map entry leaves
// the file out.
struct PackageSpec {
    QByteArray magic = "LIVE";
    quint32 contentType = 0xB0000;
    quint32 titleId = 0x5D3A0F21;
    QString displayName = QStringLiteral("Ironmere IV Title Update 3");
    QString titleName = QStringLiteral("Ironmere IV");
    QMap<QString, QByteArray> files;
};
PackageSpec demoUpdateSpec();
QString writePackage(const QString &path, const PackageSpec &spec);

// A disc image with the given files (path -> bytes) at the XGD2 offset.
QString writeDisc(const QString &path, const QMap<QString, QByteArray> &files);

void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
QString writeScript(const QString &path, const QByteArray &body);

// A disc image of three files (the demo's default.xex, then 1.5 MiB and 2 MiB of pattern data)
// whose extraction into `env` stands still at the third: that file's ".part" is a pipe, so writing
// it waits until the test opens the other end. Empty `image` (and `error` filled) on failure.
struct HeldImage {
    QString image; // the image file
    QString part;  // the pipe in the disc folder
    qint64 xexBytes = 0;
    qint64 firstBytes = 1536 * 1024, secondBytes = 2 * 1024 * 1024;
};
HeldImage writeHeldImage(const BuildTestEnv &env, QString *error);
QStringList launcherLogLines();
// Every file below `folder` whose name ends in ".part".
QStringList partFiles(const QString &folder);
int deadline(int ms);

// Everything a pipeline reported, in order.
class PipelineRecorder : public QObject {
    Q_OBJECT
public:
    explicit PipelineRecorder(BuildPipeline *pipeline);
    QStringList lines;
    QStringList cannotBuild;
    QStringList updateNeeded;
    QList<bool> busyChanges;
    QList<bool> placed;
    QList<bool> compiled;
    QStringList formats;
    BuildPipeline *pipeline;
    // Idle, and at least one idle announcement since the start.
    bool idle() const { return pipeline->busy() == BuildPipeline::Idle && busyChanges.endsWith(false); }
};
