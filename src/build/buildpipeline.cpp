// The check and build steps: the two worker threads and what the main thread does between them.

#include "build/buildpipeline.h"

#include "build/sizetext.h"
#include "build/workerthread.h"
#include "core/cfg.h"
#include "core/log.h"
#include "gamedata/registry.h"
#include "platform/buildscript.h"
#include "x360/disc.h"

#include "buildtext.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>
#include <QThread>

namespace {

using namespace buildtext;

qint64 storageFreeBytes(const QString &folder)
{
    const QStorageInfo storage(folder);
    if (!storage.isValid() || !storage.isReady())
        return -1;
    return storage.bytesAvailable();
}

} // namespace

BuildPipeline::BuildPipeline(const QString &gameId, QObject *parent)
    : QObject(parent), m_gameId(gameId), m_freeSpace(storageFreeBytes)
{
    m_progressTimer.setInterval(progressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &BuildPipeline::updateProgress);
}

BuildPipeline::~BuildPipeline()
{
    m_counters.cancel = true;
    if (m_worker)
        m_worker->wait(); // it works on our counters
    if (m_script) {
        m_script->disconnect(this);
        platform::stopBuildScript(*m_script);
    }
}

void BuildPipeline::log(const QString &text) const
{
    appendLog(QStringLiteral("build %1: %2").arg(m_gameId, text));
}

BuildFolders BuildPipeline::folders() const
{
    return {cfg::gameDiscDir(m_gameId), cfg::gameUpdateDir(m_gameId), cfg::gameDlcDir(m_gameId)};
}

void BuildPipeline::setBusy(Busy busy)
{
    const bool wasBusy = m_busy != Idle;
    m_busy = busy;
    if (wasBusy != (busy != Idle))
        emit busyChanged(busy != Idle);
}

void BuildPipeline::cancel()
{
    m_counters.cancel = true;
    if (m_script)
        platform::stopBuildScript(*m_script);
}

bool BuildPipeline::startBuild(const BuildInputs &chosen)
{
    const Game *game = GameRegistry::instance().find(m_gameId);
    if (m_busy != Idle || m_script || !game)
        return false;
    BuildInputs inputs;
    inputs.image = chosen.image.trimmed();
    inputs.updatePackage = chosen.updatePackage.trimmed();
    for (const QString &package : chosen.dlcPackages) {
        if (!package.trimmed().isEmpty())
            inputs.dlcPackages << package.trimmed();
    }
    if (!inputs.image.isEmpty() && !QFileInfo(QDir::fromNativeSeparators(inputs.image)).isFile()) {
        emit logLine(pageText("There is no disc image at %1.").arg(native(inputs.image)));
        return false;
    }
    if (!inputs.updatePackage.isEmpty() &&
        !QFileInfo(QDir::fromNativeSeparators(inputs.updatePackage)).isFile()) {
        emit logLine(pageText("There is no title update package at %1.").arg(native(inputs.updatePackage)));
        return false;
    }
    cfg::set(cfg::gameKey(cfg::keys::gameImage, m_gameId), inputs.image);
    cfg::set(cfg::gameKey(cfg::keys::gameUpdatePackage, m_gameId), inputs.updatePackage);

    emit progressChanged(0, 1000, 0, QStringLiteral("%p%"));
    emit logLine(pageText("Checking your files ..."));
    log(QStringLiteral("checking disc %1, update %2, %3 DLC package(s)")
            .arg(inputs.image.isEmpty() ? QStringLiteral("(extracted)") : native(inputs.image),
                 inputs.updatePackage.isEmpty() ? QStringLiteral("(in place)") : native(inputs.updatePackage))
            .arg(inputs.dlcPackages.size()));
    m_counters.cancel = false;
    setBusy(Checking);

    auto disc = QSharedPointer<x360::Disc>::create();
    auto check = QSharedPointer<BuildCheck>::create();
    const BuildFolders where = folders();
    m_worker = runOnWorkerThread(
        this,
        [game = *game, inputs, where, disc, check] { runBuildCheck(game, inputs, where, *disc, *check); },
        [this, disc, check] {
            m_worker = nullptr;
            onChecked(disc, check);
        });
    return true;
}

void BuildPipeline::onChecked(QSharedPointer<x360::Disc> disc, QSharedPointer<BuildCheck> check)
{
    m_check = check;
    for (const QString &line : std::as_const(check->lines))
        emit logLine(line);
    if (m_counters.cancel) {
        emit logLine(pageText("Cancelled."));
        setBusy(Idle);
        return;
    }
    if (!check->ok) {
        emit logLine(check->error);
        log(QStringLiteral("refused: %1").arg(oneLine(check->error)));
        setBusy(Idle);
        emit summaryChanged();
        if (check->needsUpdate)
            emit titleUpdateNeeded(check->error);
        else
            emit cannotBuild(check->error);
        return;
    }

    const QString gameFolder = cfg::gameFolder(m_gameId);
    QDir().mkpath(gameFolder);
    const qint64 needed = qint64(check->bytesToWrite + check->dlcBytes) + freeSpaceMargin;
    const qint64 free = m_freeSpace ? m_freeSpace(gameFolder) : -1;
    if (free >= 0 && free < needed) {
        const QString text = pageText("Not enough free space on that drive: %1 needed, %2 free.")
                                 .arg(sizeText(needed), sizeText(free));
        emit logLine(text);
        log(QStringLiteral("refused: %1").arg(text));
        setBusy(Idle);
        emit cannotBuild(text);
        return;
    }

    setBusy(Placing);
    m_counters.bytesDone = 0;
    m_counters.filesDone = 0;
    m_totalBytes = check->extractDisc ? qint64(check->discBytes) : 0;
    m_totalFiles = check->extractDisc ? check->discFiles : 0;
    const BuildFolders where = folders();
    if (check->extractDisc)
        emit logLine(pageText("Extracting the disc into %1 ...").arg(native(where.disc)));
    m_progressTimer.start();

    struct Outcome {
        bool ok = false;
        QString error;
    };
    auto outcome = QSharedPointer<Outcome>::create();
    BuildCounters *counters = &m_counters;
    m_worker = runOnWorkerThread(
        this,
        [disc, check, where, counters, outcome] {
            outcome->ok = runBuildStep(*disc, *check, where, *counters, &outcome->error);
        },
        [this, outcome] {
            m_worker = nullptr;
            onBuildFinished(outcome->ok, outcome->error);
        });
}

void BuildPipeline::updateProgress()
{
    if (m_busy != Placing || m_totalBytes <= 0)
        return;
    const qint64 bytes = m_counters.bytesDone;
    const int files = m_counters.filesDone;
    emit progressChanged(0, 1000, extractionProgressValue(bytes, m_totalBytes),
                         extractionProgressFormat(files, m_totalFiles, bytes, m_totalBytes));
}

void BuildPipeline::onBuildFinished(bool ok, const QString &error)
{
    m_progressTimer.stop();
    setBusy(Idle);
    emit summaryChanged();
    if (!ok) {
        emit logLine(pageText("Stopped: %1").arg(error));
        log(QStringLiteral("stopped: %1").arg(oneLine(error)));
        emit filesPlaced(false);
        return;
    }
    const bool extracted = m_check && m_check->extractDisc;
    emit progressChanged(
        0, 1000, 1000,
        extracted ? pageText("Extracted  -  %1 files, %2").arg(m_totalFiles).arg(sizeText(m_totalBytes))
                  : pageText("In place"));
    emit logLine(pageText("The disc, its title update and your downloadable content are in place in %1.")
                     .arg(native(cfg::gameFolder(m_gameId))));
    log(QStringLiteral("files in place (%1 disc files extracted)").arg(m_totalFiles));
    emit filesPlaced(true);
    compileGame();
}
