#include "matchplay.h"

#include <QStringList>
#include <iterator>

CommandLine parseCommandLine(const QString &line)
{
    CommandLine c;
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return c;
    c.verb = words.first();
    for (qsizetype i = 1; i < words.size(); ++i) {
        const qsizetype eq = words.at(i).indexOf(QLatin1Char('='));
        if (eq > 0)
            c.values.insert(words.at(i).left(eq), words.at(i).mid(eq + 1));
    }
    return c;
}

namespace {

const char *const roster[] = {"kael", "ryo", "mira", "dax", "suri", "bront", "lin", "vex"};
const char *const stages[] = {"dock", "temple", "rooftop", "market", "foundry", "garden"};

quint64 mix(quint64 z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

bool named(const QString &character)
{
    return !character.isEmpty() && character != QLatin1String("-");
}

} // namespace

QString pickCharacter(quint64 seed, int side)
{
    return QLatin1String(roster[mix(seed + quint64(side) * 0x9e3779b97f4a7c15ULL) % std::size(roster)]);
}

QString pickStage(quint64 seed)
{
    return QLatin1String(stages[mix(seed ^ 0x5743a9e1c2b7d60fULL) % std::size(stages)]);
}

void MatchSetup::take(const CommandLine &command)
{
    const auto &v = command.values;
    const bool rematch = command.verb == QLatin1String("rematch");
    const bool hadMatch = !char1.isEmpty();
    const QString lastChoice = choice;
    choice.clear();
    if (v.contains(QStringLiteral("match")))
        match = v.value(QStringLiteral("match"));
    if (v.contains(QStringLiteral("seed")))
        seed = v.value(QStringLiteral("seed")).toULongLong();
    if (v.contains(QStringLiteral("rounds")))
        rounds = qBound(1, v.value(QStringLiteral("rounds")).toInt(), 9);
    if (v.contains(QStringLiteral("p1")))
        p1 = v.value(QStringLiteral("p1"));
    if (v.contains(QStringLiteral("p2")))
        p2 = v.value(QStringLiteral("p2"));
    choose = v.value(QStringLiteral("choose")) == QLatin1String("1");
    keep = v.value(QStringLiteral("keep")).toInt();
    keepStage = v.value(QStringLiteral("stage")) == QLatin1String("keep");
    selects = choose || keepStage || v.contains(QStringLiteral("series")) ||
              v.contains(QStringLiteral("set")) || v.contains(QStringLiteral("keep"));
    if (command.verb == QLatin1String("start")) {
        mode = v.value(QStringLiteral("mode"));
        side = v.value(QStringLiteral("side")).toInt();
        localPort = v.value(QStringLiteral("local_port")).toInt();
        remote = v.value(QStringLiteral("remote"));
        delay = v.value(QStringLiteral("delay")).toInt();
    }

    const QString previous[2] = {char1, char2};
    const QString lines[2] = {p1, p2};
    QString *chars[2] = {&char1, &char2};
    QString *hows[2] = {&how1, &how2};
    for (int i = 0; i < 2; ++i) {
        const bool previousNamed = hadMatch && named(previous[i]);
        if (!selects) {
            *chars[i] = named(lines[i]) ? lines[i] : QStringLiteral("-");
            *hows[i] = named(lines[i]) ? QStringLiteral("given") : QStringLiteral("not named");
        } else if (keep == i + 1 && previousNamed) {
            // The winner of a set's match keeps the character; the other side picks again.
            *chars[i] = previous[i];
            *hows[i] = QStringLiteral("kept");
        } else if (named(lines[i])) {
            *chars[i] = lines[i];
            *hows[i] = QStringLiteral("given");
        } else if (rematch && keep == 0 && lastChoice == QLatin1String("rematch") && previousNamed) {
            // REMATCH at the result screen fights again with the same characters.
            *chars[i] = previous[i];
            *hows[i] = QStringLiteral("kept");
        } else {
            *chars[i] = pickCharacter(seed, i + 1);
            *hows[i] = QStringLiteral("picked");
        }
    }
    if (keepStage && hadMatch && !stage.isEmpty()) {
        stageHow = QStringLiteral("kept");
    } else {
        stage = pickStage(seed);
        stageHow = QStringLiteral("picked");
    }
}

QString MatchSetup::describe() const
{
    return QStringLiteral("p1 %1 (%2), p2 %3 (%4), stage %5 (%6)")
        .arg(char1, how1, char2, how2, stage, stageHow);
}

bool parseEndpoint(const QString &text, QString &address, quint16 &port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p == 0 || p > 65535)
        return false;
    address = text.left(colon);
    if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
        address = address.mid(1, address.size() - 2);
    port = quint16(p);
    return !address.isEmpty();
}

namespace {

int roundsNeeded(const MatchSetup &s)
{
    return s.rounds / 2 + 1;
}

QString resultLine(const MatchSetup &s, int loserRounds, bool draw)
{
    if (s.mode == QLatin1String("sparring"))
        return s.match.isEmpty() ? QStringLiteral("sparring_over")
                                 : QStringLiteral("sparring_over match=%1").arg(s.match);
    const int need = roundsNeeded(s);
    const int winner = draw ? 0 : int(s.seed % 2) + 1;
    const int p1Rounds = winner == 1 ? need : loserRounds;
    const int p2Rounds = winner == 2 ? need : loserRounds;
    QString line =
        QStringLiteral("result winner=%1 p1_rounds=%2 p2_rounds=%3").arg(winner).arg(p1Rounds).arg(p2Rounds);
    if (named(s.char1) && named(s.char2))
        line += QStringLiteral(" p1_char=%1 p2_char=%2").arg(s.char1, s.char2);
    if (!s.match.isEmpty())
        line += QStringLiteral(" match=%1").arg(s.match);
    return line;
}

} // namespace

QString resultStatus(const MatchSetup &s, bool draw)
{
    return resultLine(s, int((s.seed / 2) % quint64(roundsNeeded(s))), draw);
}

QString fightResultStatus(const MatchSetup &s, quint32 finalState, bool draw)
{
    return resultLine(s, int(finalState % quint32(roundsNeeded(s))), draw);
}
