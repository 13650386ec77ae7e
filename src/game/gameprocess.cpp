#include "gameprocess.h"

#include "core/cfg.h"
#include "core/log.h"
#include "game/gamechecks.h"
#include "game/gameenv.h"
#include "game/sessionfolders.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr int StatusPollMs = 100;
constexpr int StartWaitMs = 10000;
constexpr int DestroyWaitMs = 2000;

bool hasSuffix(const QString &path, const char *suffix)
{
    return QFileInfo(path).suffix().compare(QLatin1String(suffix), Qt::CaseInsensitive) == 0;
}

} // namespace

GameProcess::GameProcess(const QString &gameId, int instance, QObject *parent)
    : QObject(parent), m_gameId(gameId), m_instance(instance)
{
    m_statusTimer.setInterval(StatusPollMs);
    connect(&m_statusTimer, &QTimer::timeout, this, &GameProcess::pollStatus);
    m_killTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, this, [this] {
        if (!isRunning())
            return;
        m_stopping = true;
        m_process->kill();
    });
}

GameProcess::~GameProcess()
{
    if (!m_process)
        return;
    // Nobody listens any more: end the game without reporting it.
    m_process->disconnect(this);
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(DestroyWaitMs);
    }
}

QString GameProcess::statusWord() const
{
    return m_lastStatus.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
}

bool GameProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

qint64 GameProcess::processId() const
{
    return isRunning() ? m_process->processId() : 0;
}

void GameProcess::log(const QString &text) const
{
    appendLog(QStringLiteral("game %1/%2: %3").arg(m_gameId).arg(m_instance).arg(text));
}

bool GameProcess::checkBeforeStart(const QString &executable, QString *error) const
{
    if (executable.isEmpty() || !QFileInfo(executable).isFile()) {
        if (error) {
            const bool packageFolder =
                QFileInfo(QDir(cfg::appDir()).filePath(QStringLiteral("games/") + m_gameId)).isDir();
            if (!executable.isEmpty() && packageFolder) {
                const QString name = QFileInfo(executable).fileName();
                *error = tr("%1 is missing.").arg(name) + QLatin1Char(' ') + antivirusText(name);
            } else {
                *error =
                    tr("Game executable not found: %1. Build the game first or set its path in Settings.")
                        .arg(QDir::toNativeSeparators(executable));
            }
        }
        return false;
    }
    if (!hasSuffix(executable, "exe"))
        return true; // development stand-ins and scripts have no game files to check
    if (!gameFilesPresent(m_gameId)) {
        if (error)
            *error =
                tr("The game's files are not there yet: open Build game and extract your disc and its title "
                   "update first (%1).")
                    .arg(QDir::toNativeSeparators(cfg::gameDiscDir(m_gameId)));
        return false;
    }
    const QString problem = titleUpdateProblem(m_gameId);
    if (!problem.isEmpty()) {
        if (error)
            *error = problem + QStringLiteral("\n\n") + buildHint(m_gameId);
        return false;
    }
    if (cfg::isPackaged() && rebuildNeeded(m_gameId)) {
        if (error)
            *error = tr("This version of Orvex Rovivi changed the game, so it must be built again before it "
                        "starts. Open Build game and press CHECK AND BUILD (a few minutes at most).");
        return false;
    }
    return true;
}

bool GameProcess::start(const QString &executable, QString *error, bool online)
{
    if (isRunning())
        return true;
    if (!checkBeforeStart(executable, error))
        return false;

    const QString sessions = cfg::sessionsDir();
    pruneSessionFolders(sessions);
    const QString folder = freeSessionFolder(sessions, m_gameId, m_instance, sessionClock());
    if (sessions.isEmpty() || !QDir().mkpath(folder)) {
        // Without its folder the game could neither take commands nor report: do not start it.
        const QString text =
            tr("Could not create the session folder %1.").arg(QDir::toNativeSeparators(folder));
        log(text);
        if (error)
            *error = text;
        return false;
    }
    m_sessionDir = folder;
    m_commandFile = QDir(folder).filePath(QStringLiteral("cmd.txt"));
    m_statusFile = QDir(folder).filePath(QStringLiteral("status.txt"));
    QFile::remove(m_commandFile);
    QFile::remove(m_statusFile);
    m_online = online;
    m_stopping = false;
    m_pendingCommand.clear();
    m_commandClock.invalidate();
    m_outputBuffer.clear();
    return launch(executable, error);
}

bool GameProcess::launch(const QString &executable, QString *error)
{
    const QProcessEnvironment launcherEnv = QProcessEnvironment::systemEnvironment();
    const GameRun run{m_gameId, m_instance, m_sessionDir, m_online, m_menuGame};
    const QProcessEnvironment env = gameEnvironment(launcherEnv, gameVariables(launcherEnv, run));

    const QFileInfo exe(executable);
    QString program = exe.absoluteFilePath();
    QStringList arguments = m_arguments;
    const bool script = hasSuffix(executable, "py");
    if (script) {
        program = cfg::python();
        arguments = {QStringLiteral("-u"), exe.absoluteFilePath()};
    }

    if (m_process) {
        m_process->disconnect(this);
        m_process->deleteLater(); // may be the sender of the signal that called us
    }
    m_process = new QProcess(this);
    m_process->setProcessEnvironment(env);
    m_process->setWorkingDirectory(exe.absolutePath());
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setProgram(program);
    m_process->setArguments(arguments);
    platform::prepareJobChild(*m_process);
    platform::setGameStartOptions(*m_process, script, !script && cfg::devBackground());
    connect(m_process, &QProcess::readyReadStandardOutput, this, &GameProcess::readOutput);
    connect(m_process, &QProcess::finished, this, &GameProcess::onFinished);

    const QString shownProgram = QDir::toNativeSeparators(program);
    m_process->start(QIODevice::ReadWrite);
    if (!m_process->waitForStarted(StartWaitMs)) {
        const QString reason = m_process->errorString();
        const int sac = smartAppControlState();
        if (error) {
            *error = tr("Could not start %1: %2").arg(shownProgram, reason);
            if (sac == 1 || reason.contains(QLatin1String("Application Control")))
                *error += QLatin1Char('\n') + smartAppControlText(true);
            else if (reason.contains(QLatin1String("virus"), Qt::CaseInsensitive))
                *error += QLatin1Char('\n') + antivirusText(exe.fileName());
        }
        log(QStringLiteral("could not start %1: %2 (Smart App Control %3)")
                .arg(shownProgram, reason)
                .arg(sac));
        m_process->disconnect(this);
        m_process->deleteLater();
        m_process = nullptr;
        return false;
    }

    // Failing to tie the game to the launcher is not worth refusing the game for.
    platform::addToJob(platform::launcherJob(), m_process->processId());
    const QString commandLine = (QStringList{shownProgram} + arguments).join(QLatin1Char(' '));
    log(QStringLiteral("started %1 (pid %2), session %3")
            .arg(commandLine)
            .arg(m_process->processId())
            .arg(QDir::toNativeSeparators(m_sessionDir)));
    m_lastStatus = QStringLiteral("starting");
    emit statusChanged(m_lastStatus);
    if (m_online)
        m_statusTimer.start();
    return true;
}
