#include "matchplay.h"

#include <QStringList>

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

void MatchSetup::take(const CommandLine &command)
{
    const auto &v = command.values;
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
    if (command.verb != QLatin1String("start"))
        return;
    side = v.value(QStringLiteral("side")).toInt();
    localPort = v.value(QStringLiteral("local_port")).toInt();
    remote = v.value(QStringLiteral("remote"));
    delay = v.value(QStringLiteral("delay")).toInt();
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

QString resultLine(const MatchSetup &s, int loserRounds)
{
    const int need = s.rounds / 2 + 1;
    const int winner = int(s.seed % 2) + 1;
    const int p1Rounds = winner == 1 ? need : loserRounds;
    const int p2Rounds = winner == 2 ? need : loserRounds;
    QString line =
        QStringLiteral("result winner=%1 p1_rounds=%2 p2_rounds=%3").arg(winner).arg(p1Rounds).arg(p2Rounds);
    const bool named =
        !s.p1.isEmpty() && s.p1 != QLatin1String("-") && !s.p2.isEmpty() && s.p2 != QLatin1String("-");
    if (named)
        line += QStringLiteral(" p1_char=%1 p2_char=%2").arg(s.p1, s.p2);
    if (!s.match.isEmpty())
        line += QStringLiteral(" match=%1").arg(s.match);
    return line;
}

int roundsNeeded(const MatchSetup &s)
{
    return s.rounds / 2 + 1;
}

} // namespace

QString resultStatus(const MatchSetup &s)
{
    return resultLine(s, int((s.seed / 2) % quint64(roundsNeeded(s))));
}

QString fightResultStatus(const MatchSetup &s, quint32 finalState)
{
    return resultLine(s, int(finalState % quint32(roundsNeeded(s))));
}
