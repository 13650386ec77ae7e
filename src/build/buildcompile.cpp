// The compile step: the build script as a child process, its output line by line, and what its
// end means for the game.

#include "build/buildpipeline.h"

#include "core/cfg.h"
#include "core/log.h"
#include "game/gamechecks.h"
#include "platform/buildscript.h"

#include "buildtext.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

using namespace buildtext;

QString BuildPipeline::buildScript() const
{
    // A script named in the settings wins; otherwise the one this system runs, in the game folder.
    return cfg::buildScript(m_gameId);
}

QString BuildPipeline::titleUpdateReason(const QString &gameId)
{
    return titleUpdateProblem(gameId);
}

bool BuildPipeline::builtByAnotherRelease(const QString &gameId)
{
    return rebuildNeeded(gameId);
}

bool BuildPipeline::compileGame()
{
    if (m_script || m_busy != Idle)
        return false;
    const QString problem = titleUpdateProblem(m_gameId);
    if (!problem.isEmpty()) {
        emit logLine(problem);
        emit logLine(buildHint(m_gameId));
        log(QStringLiteral("not compiled: %1").arg(oneLine(problem)));
        emit summaryChanged();
        emit titleUpdateNeeded(problem);
        return false;
    }
    const QString script = buildScript();
    if (!QFileInfo(script).isFile()) {
        emit logLine(
            pageText("The step that compiles the game's code for this PC is not ready yet (no %1): the disc "
                     "and the update are in place for it.")
                .arg(native(script)));
        log(QStringLiteral("no build script %1").arg(native(script)));
        emit summaryChanged();
        return false;
    }
    const QString discDir = cfg::gameDiscDir(m_gameId);
    if (!QFileInfo(QDir(discDir).filePath(QStringLiteral("default.xex"))).isFile())
        emit logLine(
            pageText("Warning: the disc is not extracted yet (no default.xex in %1).").arg(native(discDir)));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORX_GAME_DIR"), native(discDir));
    env.insert(QStringLiteral("ORX_UPDATE_DIR"), native(cfg::gameUpdateDir(m_gameId)));
    env.insert(QStringLiteral("ORX_GAME_EXE"), native(cfg::gameExe(m_gameId)));
    // Lets a script find the tools shipped beside the launcher.
    env.insert(QStringLiteral("ORX_LAUNCHER_DIR"), native(cfg::appDir()));

    m_script = new QProcess(this);
    m_script->setProcessEnvironment(env);
    m_script->setWorkingDirectory(QFileInfo(script).absolutePath());
    m_script->setProcessChannelMode(QProcess::MergedChannels);
    platform::prepareBuildScript(*m_script, QFileInfo(script).absoluteFilePath(), cfg::buildArgs(m_gameId));
    connect(m_script, &QProcess::readyReadStandardOutput, this, [this] { readScriptOutput(false); });
    connect(m_script, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        onScriptFinished(exitCode, status == QProcess::NormalExit);
    });
    connect(m_script, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        emit logLine(
            pageText("Could not start %1: %2").arg(native(m_script->program()), m_script->errorString()));
        onScriptFinished(-1, false);
    });

    m_counters.cancel = false;
    m_scriptOutput.clear();
    setBusy(Compiling);
    emit progressChanged(0, 0, 0, QString());
    emit logLine(pageText("Compiling the game's code: %1").arg(native(script)));
    log(QStringLiteral("running %1").arg(native(script)));
    m_script->start(QIODevice::ReadOnly);
    return true;
}

void BuildPipeline::readScriptOutput(bool flushAll)
{
    if (m_script)
        m_scriptOutput += m_script->readAllStandardOutput();
    qsizetype start = 0;
    for (qsizetype end = m_scriptOutput.indexOf('\n'); end >= 0; end = m_scriptOutput.indexOf('\n', start)) {
        const QString line = QString::fromLocal8Bit(m_scriptOutput.mid(start, end - start)).trimmed();
        if (!line.isEmpty())
            emit logLine(line);
        start = end + 1;
    }
    m_scriptOutput.remove(0, start);
    // At the end no line feed will come: the last words are often the reason it stopped.
    if (flushAll) {
        const QString line = QString::fromLocal8Bit(m_scriptOutput).trimmed();
        if (!line.isEmpty())
            emit logLine(line);
        m_scriptOutput.clear();
    }
}

void BuildPipeline::onScriptFinished(int exitCode, bool normalExit)
{
    if (!m_script)
        return;
    readScriptOutput(true);
    const bool built = normalExit && exitCode == 0 && QFileInfo(cfg::gameExe(m_gameId)).isFile();
    if (m_counters.cancel)
        emit logLine(pageText("Cancelled."));
    else if (built)
        emit logLine(pageText("The game is built: Single player, or search for a match."));
    else
        emit logLine(pageText("Compiling stopped (exit code %1): the lines above say why.").arg(exitCode));
    log(QStringLiteral("build script exited with code %1").arg(exitCode));
    emit progressChanged(0, 1000, built ? 1000 : 0, QStringLiteral("%p%"));
    m_script->disconnect(this);
    m_script->deleteLater(); // may be the sender of the signal that called us
    m_script = nullptr;
    setBusy(Idle);
    emit summaryChanged();
    emit compiled(built && !m_counters.cancel);
}
