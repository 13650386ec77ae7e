#include "sessionfolders.h"

#include <QDir>
#include <QFileInfo>

namespace {

std::function<QDateTime()> &clockOverride()
{
    static std::function<QDateTime()> clock;
    return clock;
}

} // namespace

void pruneSessionFolders(const QString &sessionsDir, int keep)
{
    if (sessionsDir.isEmpty())
        return;
    const QFileInfoList folders =
        QDir(sessionsDir).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Time);
    for (qsizetype i = keep; i < folders.size(); ++i)
        QDir(folders.at(i).absoluteFilePath()).removeRecursively();
}

QString freeSessionFolder(const QString &sessionsDir, const QString &gameId, int instance,
                          const QDateTime &startTime)
{
    const QString name = QStringLiteral("%1-%2-%3")
                             .arg(gameId, startTime.toString(QStringLiteral("yyyyMMdd-hhmmss")))
                             .arg(instance);
    const QDir dir(sessionsDir);
    QString candidate = name;
    for (int n = 2; QFileInfo::exists(dir.filePath(candidate)); ++n)
        candidate = QStringLiteral("%1-%2").arg(name).arg(n);
    return dir.filePath(candidate);
}

QDateTime sessionClock()
{
    return clockOverride() ? clockOverride()() : QDateTime::currentDateTime();
}

void setSessionClockForTesting(std::function<QDateTime()> clock)
{
    clockOverride() = std::move(clock);
}
