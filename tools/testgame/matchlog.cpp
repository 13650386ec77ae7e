#include "matchlog.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

void logMatchBegin(GameLog &log, const MatchSetup &match)
{
    log.line(QStringLiteral("autopilot: side %1 is this player").arg(match.side));
    log.line(QStringLiteral("picked character %1 for p1, %2 for p2").arg(match.char1, match.char2));
    log.line(QStringLiteral("netplay: stage %1, delay %2").arg(match.stage).arg(match.delay));
    log.line(QStringLiteral("[warning] [gpu] shader cache is cold, the first frames may stutter"));
    log.line(QStringLiteral("netplay: frame 0: rollbacks (0 so far)"));
    log.line(QStringLiteral("netplay: keeping a frame top of %1 frames ahead").arg(8 + match.delay));
}

void logMatchEnd(GameLog &log, const MatchSetup &match, const QString &ending)
{
    Q_UNUSED(match);
    log.line(QStringLiteral("netplay: rollbacks (%1 frames rolled back in all)").arg(ending.size() % 7));
}

QString skewedResult(const QString &resultLine)
{
    static const QRegularExpression rounds(QStringLiteral("\\bp1_rounds=(\\d+)"));
    const QRegularExpressionMatch m = rounds.match(resultLine);
    if (!m.hasMatch())
        return resultLine;
    QString line = resultLine;
    line.replace(m.capturedStart(1), m.capturedLength(1), QString::number(m.captured(1).toInt() + 1));
    return line;
}

bool writePreparedMark(QString &error)
{
    const QFileInfo exe(QCoreApplication::applicationFilePath());
    quint64 fileTime = 0;
    if (!platform::fileWriteTime(exe.filePath(), &fileTime)) {
        error = QStringLiteral("cannot read the attributes of %1").arg(exe.filePath());
        return false;
    }
    const QString dir = exe.dir().filePath(QStringLiteral("compiler/work/%1").arg(exe.completeBaseName()));
    if (!QDir().mkpath(dir)) {
        error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    const QByteArray text = QStringLiteral("%1 %2\n").arg(exe.size()).arg(fileTime).toUtf8();
    return platform::writeFileAtomically(QDir(dir).filePath(QStringLiteral("built.txt")), text, &error);
}
