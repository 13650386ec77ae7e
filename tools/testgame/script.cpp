#include "script.h"

#include <QFile>

#include <algorithm>

namespace {

struct ActionName {
    const char *name;
    ScriptStep::Action action;
    bool needsText;
};

constexpr ActionName actionNames[] = {
    {"status", ScriptStep::Status, true},
    {"ask", ScriptStep::Ask, true},
    {"log", ScriptStep::Log, true},
    {"print", ScriptStep::Print, true},
    {"print-raw", ScriptStep::PrintRaw, true},
    {"exit", ScriptStep::Exit, true},
    {"crash", ScriptStep::Crash, false},
    {"hang", ScriptStep::Hang, false},
    {"ignore-quit", ScriptStep::IgnoreQuit, false},
    {"honour-quit", ScriptStep::HonourQuit, false},
    {"outcome", ScriptStep::Outcome, true},
    {"draw", ScriptStep::Draw, true},
    {"choice", ScriptStep::Choice, true},
    {"menu", ScriptStep::Menu, false},
    {"ignore-park", ScriptStep::IgnorePark, false},
    {"honour-park", ScriptStep::HonourPark, false},
    {"wait", ScriptStep::Wait, true},
    {"capture", ScriptStep::Capture, false},
    {"hang-noticed", ScriptStep::HangNoticed, false},
};

// Splits off the first word; the rest keeps its inner blanks.
QString firstWord(QString &line)
{
    line = line.trimmed();
    const qsizetype space = line.indexOf(QLatin1Char(' '));
    const QString word = space < 0 ? line : line.left(space);
    line = space < 0 ? QString() : line.mid(space + 1).trimmed();
    return word;
}

} // namespace

bool parseScript(const QString &text, const QString &origin, QList<ScriptStep> &steps, QString &error)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QString line = lines.at(n).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QString where = QStringLiteral("%1:%2").arg(origin).arg(n + 1);
        ScriptStep step;
        QString word = firstWord(line);
        if (word == QLatin1String("at")) {
            bool ok = false;
            step.atMs = firstWord(line).toInt(&ok);
            if (!ok || step.atMs < 0) {
                error = QStringLiteral("%1: \"at\" needs a time in milliseconds").arg(where);
                return false;
            }
            word = firstWord(line);
        }
        const ActionName *found = nullptr;
        for (const ActionName &a : actionNames)
            if (word == QLatin1String(a.name))
                found = &a;
        if (!found) {
            error = QStringLiteral("%1: unknown action \"%2\"").arg(where, word);
            return false;
        }
        if (found->needsText && line.isEmpty()) {
            error = QStringLiteral("%1: \"%2\" needs a text").arg(where, word);
            return false;
        }
        step.action = found->action;
        step.text = line;
        if (step.action == ScriptStep::Exit) {
            bool ok = false;
            line.toInt(&ok);
            if (!ok) {
                error = QStringLiteral("%1: \"exit\" needs an exit code").arg(where);
                return false;
            }
        }
        const auto oneOf = [&](const QStringList &words) {
            if (words.contains(line))
                return true;
            error = QStringLiteral("%1: \"%2\" needs one of %3")
                        .arg(where, word, words.join(QStringLiteral(", ")));
            return false;
        };
        if (step.action == ScriptStep::Draw && !oneOf({QStringLiteral("on"), QStringLiteral("off")}))
            return false;
        if (step.action == ScriptStep::Choice && !oneOf({QStringLiteral("rematch"), QStringLiteral("select"),
                                                         QStringLiteral("leave"), QStringLiteral("none")}))
            return false;
        if (step.action == ScriptStep::Capture && !line.isEmpty() && !oneOf({QStringLiteral("partial")}))
            return false;
        if (step.action == ScriptStep::Menu && !line.isEmpty()) {
            bool ok = false;
            if (line.toInt(&ok) < 0 || !ok) {
                error = QStringLiteral("%1: \"menu\" takes a time in milliseconds").arg(where);
                return false;
            }
        }
        if (step.action == ScriptStep::Wait) {
            const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            bool ok = true;
            if (parts.size() == 2 && parts.at(1).toInt(&ok) < 0)
                ok = false;
            if (parts.size() > 2 || !ok || parts.value(0).startsWith(QLatin1Char('='))) {
                error = QStringLiteral("%1: \"wait\" needs PATH[=VALUE] and then a time in milliseconds")
                            .arg(where);
                return false;
            }
        }
        if (step.action == ScriptStep::Outcome) {
            static const QStringList words{QStringLiteral("none"),         QStringLiteral("desync"),
                                           QStringLiteral("disconnected"), QStringLiteral("error"),
                                           QStringLiteral("away"),         QStringLiteral("again"),
                                           QStringLiteral("feed-corrupt")};
            const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            bool frameOk = true;
            if (parts.size() > 1) {
                const int frame = parts.at(1).toInt(&frameOk);
                frameOk = frameOk && frame >= 0;
            }
            if (!words.contains(parts.value(0)) || parts.size() > 2 || !frameOk) {
                error = QStringLiteral("%1: \"outcome\" needs one of %2, then a frame")
                            .arg(where, words.join(QStringLiteral(", ")));
                return false;
            }
        }
        steps << step;
    }
    return true;
}

WaitSpec waitSpec(const ScriptStep &step)
{
    const QStringList parts = step.text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    WaitSpec spec;
    spec.condition = parts.value(0);
    if (parts.size() > 1)
        spec.ms = parts.at(1).toInt();
    return spec;
}

void orderSteps(QList<ScriptStep> &steps)
{
    const auto byTime = [](const ScriptStep &a, const ScriptStep &b) { return a.atMs < b.atMs; };
    auto begin = steps.begin();
    for (auto it = steps.begin(); it != steps.end(); ++it) {
        if (it->action != ScriptStep::Wait)
            continue;
        std::stable_sort(begin, it, byTime);
        begin = it + 1;
    }
    std::stable_sort(begin, steps.end(), byTime);
}

bool readScript(const QString &path, QList<ScriptStep> &steps, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the script %1: %2").arg(path, file.errorString());
        return false;
    }
    return parseScript(QString::fromUtf8(file.readAll()), path, steps, error);
}
