#include "match/reportrules.h"

#include "match/gamelogreading.h"
#include "platform/platform.h"

namespace reports {

Crash crashOf(int exitCode, bool crashed, bool stopping, const QStringList &logLines)
{
    const int code = platform::gameExitCode(exitCode, crashed, stopping);
    Crash result;
    if (code == 0 || code == -1)
        return result;
    QString crashText;
    bool hang = false;
    for (qsizetype i = logLines.size() - 1; i >= 0; --i) {
        const qsizetype at = logLines.at(i).indexOf(QLatin1String("crash: "));
        if (at >= 0) {
            crashText = logLines.at(i).mid(at + 7).trimmed();
            break;
        }
    }
    for (qsizetype i = logLines.size() - 1; i >= 0 && !hang; --i)
        hang = logLines.at(i).contains(QLatin1String("hang: "));
    // The launcher's own kill: a crash line written on the way out is not the reason.
    if (code == platform::launcherKillCode && !hang)
        crashText.clear();
    if (!(code < -1 || !crashText.isEmpty() || hang))
        return result;
    result.report = true;
    result.code = QString::number(quint32(code), 16).toUpper();
    if (crashText.isEmpty() && hang) {
        result.where = QStringLiteral("hang: the game window stopped answering");
    } else {
        const qsizetype at = crashText.indexOf(QLatin1String(" at "));
        const QString place = at >= 0 ? crashText.mid(at + 4) : QString();
        // The place may name a user's folder or an address: it goes out like any log line.
        result.where = gamelog::anonymiseLine(place.trimmed().isEmpty() ? crashText : place).left(150);
    }
    return result;
}

QStringList shortenExcerpt(const QStringList &lines)
{
    const qsizetype count = lines.size();
    if (count < 37)
        return lines;
    qsizetype desync = count;
    for (qsizetype i = 0; i < count; ++i) {
        if (lines.at(i).contains(QLatin1String("DESYNC at frame"))) {
            desync = i;
            break;
        }
    }
    const qsizetype start = qMin(count - 14, desync);
    const QStringList tail = lines.mid(start, 28);
    const qsizetype front = qMin(36 - tail.size(), start);
    return lines.mid(0, front) + tail;
}

} // namespace reports
