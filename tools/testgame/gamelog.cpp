#include "gamelog.h"

#include <QDateTime>
#include <QSysInfo>

GameLog::GameLog(const QString &path)
{
    if (path.isEmpty())
        return;
    m_file.setFileName(path);
    m_file.open(QIODevice::WriteOnly | QIODevice::Append);
}

void GameLog::writeHeader(const QString &gameId, int instance)
{
    line(QStringLiteral("[info] OS: %1 %2").arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion()));
    line(QStringLiteral("[info] CPU: %1").arg(QSysInfo::currentCpuArchitecture()));
    line(QStringLiteral("[info] Game: orx-testgame, game %1, instance %2").arg(gameId).arg(instance));
}

void GameLog::line(const QString &text)
{
    if (!m_file.isOpen())
        return;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    m_file.write(QStringLiteral("[%1] %2\n").arg(stamp, text).toUtf8());
    m_file.flush();
}
