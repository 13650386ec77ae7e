#include "gametestkit.h"

#include "core/cfg.h"
#include "core/log.h"

#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <csignal>

GameTestEnv::GameTestEnv(bool packaged)
{
    QDir().mkpath(appDir());
    if (packaged)
        QDir().mkpath(QDir(appDir()).filePath(QStringLiteral("games/orx")));
    cfg::resetForTesting();
    cfg::setAppDirForTesting(appDir());
    cfg::init(QDir(m_dir.path()).filePath(QStringLiteral("data/orx-launcher.ini")));
}

GameTestEnv::~GameTestEnv()
{
    cfg::resetForTesting();
}

QString GameTestEnv::appDir() const
{
    return QDir(m_dir.path()).filePath(QStringLiteral("app"));
}

QString binPath(const QString &name)
{
    return QDir(qEnvironmentVariable("ORX_BIN_DIR")).filePath(name);
}

QString testGamePath()
{
    return binPath(QStringLiteral("orx-testgame"));
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

QJsonObject envRecord(const QString &sessionDir)
{
    return QJsonDocument::fromJson(readFile(QDir(sessionDir).filePath(QStringLiteral("testgame-env.json"))))
        .object();
}

QStringList recordedCommands(const QString &sessionDir)
{
    const QString text =
        QString::fromUtf8(readFile(QDir(sessionDir).filePath(QStringLiteral("testgame-commands.txt"))));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList logLines()
{
    return QString::fromUtf8(readFile(logFilePath())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool processGone(qint64 pid)
{
    if (pid <= 0)
        return true;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return true;
    // A zombie has ended; only its parent's wait is missing.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() && stat.at(close + 2) == 'Z';
}

int deadline(int ms)
{
    const int factor = qMax(1, qEnvironmentVariableIntValue("ORX_TEST_SLOW"));
    return ms * factor;
}
