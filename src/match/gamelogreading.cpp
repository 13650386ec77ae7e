#include "match/gamelogreading.h"

#include "core/privacy.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

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

QStringList lastLogLines(const QString &sessionDir, qint64 bytes)
{
    return lastLines(sessionDir, bytes);
}

namespace {

bool containsAny(const QString &line, std::initializer_list<QLatin1String> words)
{
    for (const QLatin1String &w : words)
        if (line.contains(w))
            return true;
    return false;
}

bool isRollbackLine(const QString &line)
{
    static const QRegularExpression frame(QStringLiteral("netplay: frame \\d+: "));
    return containsAny(line, {QLatin1String("rollbacks ("), QLatin1String("keeping a frame top")}) ||
           frame.match(line).hasMatch();
}

bool isMilestone(const QString &line)
{
    return containsAny(line, {QLatin1String("link: start"), QLatin1String("link: rematch"),
                              QLatin1String("link: command start"), QLatin1String("link: command rematch"),
                              QLatin1String("autopilot: side"), QLatin1String("orx versus:"),
                              QLatin1String("autopilot: the stage"), QLatin1String("stage select took"),
                              QLatin1String("meeting for match"), QLatin1String("agreed words"),
                              QLatin1String("of the fight"), QLatin1String(" in sync, seed"),
                              QLatin1String("orx net: player "), QLatin1String("netplay: stage"),
                              QLatin1String("picked character")});
}

bool isOfInterest(const QString &line)
{
    if ((line.contains(QLatin1String("[error]")) || line.contains(QLatin1String("[warning]"))) &&
        !line.contains(QLatin1String("[gpu]")))
        return true;
    return containsAny(
        line, {QLatin1String("orx net:"), QLatin1String("orx versus:"), QLatin1String("autopilot: side"),
               QLatin1String("orx desync:"), QLatin1String("netplay:"), QLatin1String("link:"),
               QLatin1String("autopilot: this player"), QLatin1String("autopilot: the stage"),
               QLatin1String("picked character"), QLatin1String("error:"), QLatin1String("warning:")});
}

bool isMatchStart(const QString &line)
{
    return containsAny(line, {QLatin1String("link: start "), QLatin1String("link: rematch"),
                              QLatin1String("link: command start"), QLatin1String("link: command rematch")});
}

// What a line costs in the report: its JSON string with quotes, a comma and escapes.
qsizetype lineCost(const QString &line)
{
    return line.size() + line.count(QLatin1Char('"')) + line.count(QLatin1Char('\\')) + 4;
}

constexpr qsizetype excerptMaxCost = 56000;
constexpr qsizetype excerptMaxLines = 198;

} // namespace

QStringList excerptOf(const QStringList &head, const QStringList &body)
{
    QStringList header;
    for (const QString &line : head)
        if (containsAny(line, {QLatin1String("] OS: "), QLatin1String("] CPU: "), QLatin1String("] Game: ")}))
            header << anonymiseLine(line);

    const qsizetype count = body.size();
    qsizetype end = count;
    for (qsizetype i = count - 1; i >= 0; --i) {
        if (body.at(i).contains(QLatin1String("DESYNC at frame"))) {
            end = i;
            break;
        }
    }
    qsizetype start = 0;
    for (qsizetype i = end - 1; i >= 0; --i) {
        if (isMatchStart(body.at(i))) {
            start = (i > 0 && body.at(i - 1).contains(QLatin1String("link: command "))) ? i - 1 : i;
            break;
        }
    }

    struct Tagged {
        qsizetype at;
        int tag;
    };
    QList<Tagged> kept;
    QList<qsizetype> collected;
    qsizetype topRollback = -1, otherRollback = -1;
    int milestones = 0;
    for (qsizetype i = start; i < end; ++i) {
        const QString &line = body.at(i);
        if (line.contains(QLatin1String("orx desync:"))) {
            kept << Tagged{i, 4};
        } else if (isRollbackLine(line)) {
            (line.contains(QLatin1String("keeping a frame top")) ? topRollback : otherRollback) = i;
        } else if (isMilestone(line) && milestones < 40) {
            ++milestones;
            kept << Tagged{i, 0};
        } else if (isOfInterest(line)) {
            collected << i;
        }
    }
    for (qsizetype at : {topRollback, otherRollback})
        if (at >= 0)
            kept << Tagged{at, 1};
    for (qsizetype k = qMax<qsizetype>(0, collected.size() - 30); k < collected.size(); ++k)
        kept << Tagged{collected.at(k), 2};
    if (end < count) {
        kept << Tagged{end, 3};
        int later = 0;
        for (qsizetype i = end + 1; i < count; ++i) {
            const QString &line = body.at(i);
            if (line.contains(QLatin1String("orx desync:")))
                kept << Tagged{i, 4};
            else if (later < 10 && isOfInterest(line) && !isRollbackLine(line)) {
                ++later;
                kept << Tagged{i, 5};
            }
        }
    }
    std::sort(kept.begin(), kept.end(), [](const Tagged &a, const Tagged &b) { return a.at < b.at; });

    QStringList lines;
    QList<int> tags;
    qsizetype cost = 0;
    for (const QString &line : std::as_const(header))
        cost += lineCost(line);
    for (const Tagged &t : std::as_const(kept)) {
        lines << anonymiseLine(body.at(t.at));
        tags << t.tag;
        cost += lineCost(lines.constLast());
    }
    // Drop what matters least first; the loop ends when nothing more may go.
    auto dropOne = [&]() -> bool {
        for (int tag : {2, 5}) {
            const qsizetype i = tags.indexOf(tag);
            if (i >= 0) {
                cost -= lineCost(lines.at(i));
                lines.removeAt(i);
                tags.removeAt(i);
                return true;
            }
        }
        const qsizetype i = tags.lastIndexOf(4);
        if (i < 0)
            return false;
        cost -= lineCost(lines.at(i));
        lines.removeAt(i);
        tags.removeAt(i);
        return true;
    };
    while (cost > excerptMaxCost || header.size() + lines.size() > excerptMaxLines)
        if (!dropOne())
            break;
    return header + lines;
}

QStringList matchLogExcerpt(const QString &sessionDir)
{
    QStringList head;
    QFile file(QDir(sessionDir).filePath(QStringLiteral("game.log")));
    if (sessionDir.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    head = QString::fromLatin1(file.read(16384)).split(QRegularExpression(QStringLiteral("\r?\n")));
    file.close();
    return excerptOf(head, lastLines(sessionDir, 1048576));
}

} // namespace gamelog
