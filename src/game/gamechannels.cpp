// The channels of a running game: commands into cmd.txt, the status line from status.txt, output
// lines, and the end of the run.

#include "gameprocess.h"

#include "platform/platform.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

constexpr int CommandWaitMs = 2000;   // a command the game has not taken by then is overwritten
constexpr int CommandBudgetMs = 1000; // how long a game may hold cmd.txt against a replacement
constexpr int QuitGraceMs = 5000;
constexpr qsizetype MaxOutputLine = 1024 * 1024;

// A peer's address never reaches the log; the file itself carries the full line.
QString hideRemote(QString text)
{
    static const QRegularExpression remote(QStringLiteral("\\bremote=\\S+"));
    return text.replace(remote, QStringLiteral("remote=(hidden)"));
}

} // namespace

void GameProcess::sendCommand(const QString &text)
{
    if (m_commandFile.isEmpty())
        return;
    if (QFileInfo::exists(m_commandFile) && m_commandClock.isValid() &&
        m_commandClock.elapsed() < CommandWaitMs) {
        m_pendingCommand = text;
        return;
    }
    // An older pending command must not arrive after this newer one: it is replaced, as it would be
    // had it still been waiting.
    m_pendingCommand.clear();
    writeCommand(text);
}

void GameProcess::writeCommand(const QString &text)
{
    QString error;
    if (platform::writeFileAtomically(m_commandFile, text.toLatin1() + '\n', &error, CommandBudgetMs)) {
        m_commandClock.start();
        log(QStringLiteral("cmd %1").arg(hideRemote(text)));
    } else {
        log(error);
    }
}

void GameProcess::pollStatus()
{
    if (m_statusFile.isEmpty() || !m_online)
        return;
    bool opened = false;
    const QByteArray bytes = platform::readFileShared(m_statusFile, &opened);
    if (opened && !bytes.isEmpty()) {
        const qsizetype lf = bytes.indexOf('\n');
        const QString line = QString::fromLatin1(lf < 0 ? bytes : bytes.left(lf)).trimmed();
        if (!line.isEmpty() && line != m_lastStatus) {
            m_lastStatus = line;
            log(QStringLiteral("status %1").arg(line));
            emit statusChanged(line);
        }
    }
    if (!m_pendingCommand.isEmpty() && (!QFileInfo::exists(m_commandFile) || !m_commandClock.isValid() ||
                                        m_commandClock.elapsed() > CommandWaitMs)) {
        const QString command = m_pendingCommand;
        m_pendingCommand.clear();
        writeCommand(command);
    }
}

void GameProcess::readOutput()
{
    if (!m_process)
        return;
    m_outputBuffer += m_process->readAllStandardOutput();
    for (;;) {
        const qsizetype lf = m_outputBuffer.indexOf('\n');
        qsizetype cut = lf + 1;
        if (lf < 0) {
            // A game that prints without ever ending a line must not grow the buffer without bound.
            if (m_outputBuffer.size() < MaxOutputLine)
                break;
            cut = MaxOutputLine;
        }
        const QString line = QString::fromLocal8Bit(m_outputBuffer.left(lf < 0 ? cut : lf)).trimmed();
        m_outputBuffer.remove(0, cut);
        if (!line.isEmpty())
            emit outputLine(line);
    }
}

void GameProcess::quit()
{
    if (!isRunning() || m_stopping)
        return;
    m_stopping = true;
    m_pendingCommand.clear();
    if (m_online)
        writeCommand(QStringLiteral("quit"));
    else
        m_process->terminate();
    m_killTimer.start(QuitGraceMs);
}

void GameProcess::stop()
{
    if (!isRunning())
        return;
    m_stopping = true;
    m_process->kill();
}

void GameProcess::onFinished(int exitCode, QProcess::ExitStatus status)
{
    readOutput();
    pollStatus(); // a status written just before the end is not lost
    m_statusTimer.stop();
    m_killTimer.stop();
    const bool crashed = status == QProcess::CrashExit;
    log(QStringLiteral("exited with code %1%2")
            .arg(exitCode)
            .arg(crashed ? QStringLiteral(" (crash)") : QString()));
    m_lastStatus = m_stopping ? QStringLiteral("exited") : QStringLiteral("error exited");
    m_exitCode = exitCode;
    emit statusChanged(m_lastStatus);
    emit exited(exitCode, crashed);
}
