#include "log.h"

#include "cfg.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>

namespace {
QMutex logMutex;
}

QString logFilePath()
{
    const QString dir = cfg::dataDir();
    return dir.isEmpty() ? QString() : QDir(dir).filePath(QStringLiteral("orx-launcher.log"));
}

void appendLog(const QString &text)
{
    const QString path = logFilePath();
    if (path.isEmpty())
        return;
    QMutexLocker lock(&logMutex);
    // Opened and closed per line: the line is on disk when we return, and other programs may copy
    // the file at any time. Line feeds alone on every system (no text mode), so the file reads the
    // same wherever it is read.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) +
                         QLatin1Char(' ') + text + QLatin1Char('\n');
    file.write(line.toUtf8());
}
