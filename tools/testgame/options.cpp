#include "options.h"

#include <QFile>
#include <QRegularExpression>
#include <utility>

namespace {

bool takeNumber(const QStringList &args, qsizetype &i, int &out, QString &error)
{
    const QString name = args.at(i);
    if (i + 1 >= args.size()) {
        error = QStringLiteral("%1 needs a number").arg(name);
        return false;
    }
    bool ok = false;
    out = args.at(++i).toInt(&ok);
    if (!ok) {
        error = QStringLiteral("%1 needs a number, not \"%2\"").arg(name, args.at(i));
        return false;
    }
    return true;
}

bool parseArgs(const QStringList &args, Options &o, QString &error)
{
    int exitAfter = -1;
    int exitCode = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        int n = 0;
        if (a == QLatin1String("--prepare")) {
            o.prepare = true;
        } else if (a == QLatin1String("--wrong-result")) {
            o.wrongResult = true;
        } else if (a == QLatin1String("--prepare-fail")) {
            if (!takeNumber(args, i, o.prepareFail, error))
                return false;
        } else if (a == QLatin1String("--hang-noticed-after")) {
            if (!takeNumber(args, i, n, error))
                return false;
            o.steps << ScriptStep{n, ScriptStep::HangNoticed, QString()};
        } else if (a == QLatin1String("--ignore-quit")) {
            o.ignoreQuit = true;
        } else if (a == QLatin1String("--ignore-park")) {
            o.ignorePark = true;
        } else if (a == QLatin1String("--draw")) {
            o.net.draw = true;
        } else if (a == QLatin1String("--choice")) {
            static const QStringList words{QStringLiteral("rematch"), QStringLiteral("select"),
                                           QStringLiteral("leave")};
            // One choice, or a list of them for the result screens to come, the last repeating.
            const QStringList list =
                i + 1 < args.size() ? args.at(i + 1).split(QLatin1Char(',')) : QStringList();
            bool valid = !list.isEmpty() && list.size() <= 64;
            for (const QString &w : list)
                valid = valid && words.contains(w);
            if (!valid) {
                error = QStringLiteral("--choice needs one of %1").arg(words.join(QStringLiteral(", ")));
                return false;
            }
            ++i;
            o.choice = list.first();
            o.laterChoices = list.mid(1);
        } else if (a == QLatin1String("--choice-ms")) {
            if (!takeNumber(args, i, o.choiceMs, error))
                return false;
        } else if (a == QLatin1String("--menu-after")) {
            if (!takeNumber(args, i, o.menuAfterMs, error))
                return false;
            if (o.menuAfterMs < 0 || o.menuAfterMs > 600000) {
                error = QStringLiteral("--menu-after needs a number from 0 to 600000");
                return false;
            }
        } else if (a == QLatin1String("--prepare-ms")) {
            if (!takeNumber(args, i, o.prepareMs, error))
                return false;
        } else if (a == QLatin1String("--boot-ms")) {
            if (!takeNumber(args, i, o.bootMs, error))
                return false;
        } else if (a == QLatin1String("--take-after")) {
            if (!takeNumber(args, i, o.takeAfterMs, error))
                return false;
        } else if (a == QLatin1String("--match-ms")) {
            if (!takeNumber(args, i, o.matchMs, error))
                return false;
        } else if (a == QLatin1String("--park-ms")) {
            if (!takeNumber(args, i, o.parkMs, error))
                return false;
        } else if (a == QLatin1String("--solo")) {
            o.solo = true;
        } else if (a == QLatin1String("--frame-ms")) {
            if (!takeNumber(args, i, o.net.frameMs, error))
                return false;
            if (o.net.frameMs < 1) {
                error = QStringLiteral("--frame-ms needs at least 1");
                return false;
            }
        } else if (a == QLatin1String("--meet-ms")) {
            if (!takeNumber(args, i, o.net.meetMs, error))
                return false;
        } else if (a == QLatin1String("--peer-timeout")) {
            if (!takeNumber(args, i, o.net.peerTimeoutMs, error))
                return false;
        } else if (a == QLatin1String("--bind-wait")) {
            if (!takeNumber(args, i, o.net.bindWaitMs, error))
                return false;
        } else if (a == QLatin1String("--outcome-frame")) {
            if (!takeNumber(args, i, o.net.outcomeFrame, error))
                return false;
        } else if (a == QLatin1String("--outcome")) {
            static const QStringList words{QStringLiteral("desync"), QStringLiteral("disconnected"),
                                           QStringLiteral("error"),  QStringLiteral("away"),
                                           QStringLiteral("again"),  QStringLiteral("feed-corrupt")};
            if (i + 1 >= args.size() || !words.contains(args.at(i + 1))) {
                error = QStringLiteral("--outcome needs one of %1").arg(words.join(QStringLiteral(", ")));
                return false;
            }
            o.net.outcome = args.at(++i);
        } else if (a == QLatin1String("--quit-code")) {
            if (!takeNumber(args, i, o.quitCode, error))
                return false;
        } else if (a == QLatin1String("--exit-after")) {
            if (!takeNumber(args, i, exitAfter, error))
                return false;
        } else if (a == QLatin1String("--exit-code")) {
            if (!takeNumber(args, i, exitCode, error))
                return false;
        } else if (a == QLatin1String("--crash-after")) {
            if (!takeNumber(args, i, n, error))
                return false;
            o.steps << ScriptStep{n, ScriptStep::Crash, QStringLiteral("crashed on request")};
        } else if (a == QLatin1String("--hang-after")) {
            if (!takeNumber(args, i, n, error))
                return false;
            o.steps << ScriptStep{n, ScriptStep::Hang, QString()};
        } else if (a == QLatin1String("--script")) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("--script needs a file");
                return false;
            }
            if (!readScript(args.at(++i), o.steps, error))
                return false;
        } else if (a == QLatin1String("--record-dir")) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("--record-dir needs a folder");
                return false;
            }
            o.recordDir = args.at(++i);
        } else if (a == QLatin1String("--feed-trace")) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("--feed-trace needs a file");
                return false;
            }
            o.feedTrace = args.at(++i);
        } else if (a == QLatin1String("--feed-pad")) {
            if (!takeNumber(args, i, o.feedPad, error))
                return false;
            // A record's length is 16 bits.
            if (o.feedPad < 0 || o.feedPad > 65000) {
                error = QStringLiteral("--feed-pad needs a number from 0 to 65000");
                return false;
            }
        } else if (a == QLatin1String("--capture-after")) {
            if (!takeNumber(args, i, n, error))
                return false;
            o.steps << ScriptStep{n, ScriptStep::Capture, QString()};
        } else {
            bool handled = false;
            if (!parseCaptureOption(args, i, o.capture, &handled, error))
                return false;
            if (!handled) {
                error = QStringLiteral("unknown option \"%1\"").arg(a);
                return false;
            }
        }
    }
    for (const auto &[name, value] :
         {std::pair{"--meet-ms", o.net.meetMs}, std::pair{"--peer-timeout", o.net.peerTimeoutMs},
          std::pair{"--bind-wait", o.net.bindWaitMs}, std::pair{"--outcome-frame", o.net.outcomeFrame},
          std::pair{"--match-ms", o.matchMs}, std::pair{"--choice-ms", o.choiceMs}}) {
        if (value < 0) {
            error = QStringLiteral("%1 needs a number of 0 or more").arg(QLatin1String(name));
            return false;
        }
    }
    if (exitAfter >= 0)
        o.steps << ScriptStep{exitAfter, ScriptStep::Exit, QString::number(exitCode)};
    return true;
}

} // namespace

bool parseOptions(const QStringList &arguments, Options &options, QString &error)
{
    if (!parseArgs(arguments, options, error))
        return false;
    // ORX_TESTGAME_ARGS for every instance, then ORX_TESTGAME_ARGS_<instance> for one of them.
    for (const QString &name :
         {QStringLiteral("ORX_TESTGAME_ARGS"),
          QStringLiteral("ORX_TESTGAME_ARGS_") + qEnvironmentVariable("ORX_INSTANCE")}) {
        const QString extra = qEnvironmentVariable(name.toLatin1().constData()).trimmed();
        if (!extra.isEmpty() &&
            !parseArgs(extra.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts), options,
                       error))
            return false;
    }
    const QString script = qEnvironmentVariable("ORX_TESTGAME_SCRIPT");
    if (!script.isEmpty() && !readScript(script, options.steps, error))
        return false;
    return true;
}
