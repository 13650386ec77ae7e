#include "match/gamelogreading.h"

#include "core/privacy.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace gamelog {

static QStringList lastLines(const QString &sessionDir, qint64 bytes, bool *found = nullptr)
{
    QFile file(QDir(sessionDir).filePath(QStringLiteral("game.log")));
    if (found)
        *found = false;
    if (sessionDir.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    if (found)
        *found = true;
    if (file.size() > bytes)
        file.seek(file.size() - bytes);
    const QString text = QString::fromLatin1(file.read(bytes));
    return text.split(QRegularExpression(QStringLiteral("\r?\n")));
}

QString anonymiseLine(const QString &line)
{
    static const QRegularExpression unprintable(QStringLiteral("[^\\x20-\\x7E]"));
    QString s = line.trimmed();
    s.replace(unprintable, QStringLiteral("?"));
    privacy::maskAddresses(s);
    // Also lower-case and forward-slash profile paths, home folders, and a second path on the line.
    privacy::maskUserFolders(s);
    return s.left(200);
}

QString exitClassification(const QString &sessionDir)
{
    bool found = false;
    const QStringList lines = lastLines(sessionDir, 65536, &found);
    if (!found)
        return QStringLiteral("ended from outside");
    qsizetype exitLine = -1;
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        if (lines.at(i).contains(QLatin1String("Exit ("))) {
            exitLine = i;
            break;
        }
    }
    static const QRegularExpression leave(QStringLiteral("asked to leave \\(HalReturnToFirmware (\\d+)\\)"));
    const qsizetype from = exitLine >= 0 ? exitLine - 1 : lines.size() - 1;
    for (qsizetype i = from; i >= 0 && i > from - 80; --i) {
        const QString &l = lines.at(i);
        if (l.contains(QLatin1String("crash: ")))
            return QStringLiteral("crash");
        const QRegularExpressionMatch m = leave.match(l);
        if (m.hasMatch())
            return QStringLiteral("asked to leave %1").arg(m.captured(1));
        if (l.contains(QLatin1String("asked to shut down")))
            return QStringLiteral("shut down");
        if (l.contains(QLatin1String("relaunching into")))
            return QStringLiteral("relaunched");
    }
    return exitLine >= 0 ? QStringLiteral("window closed") : QStringLiteral("ended from outside");
}

QStringList logTail(const QString &sessionDir, int count)
{
    QStringList kept;
    for (const QString &line : lastLines(sessionDir, 16384))
        if (!line.trimmed().isEmpty())
            kept << anonymiseLine(line);
    return kept.mid(qMax<qsizetype>(0, kept.size() - count));
}

} // namespace gamelog
