#include "bridge/bridgerules.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace bridgerules {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MenuBridge", text);
}

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

int num(const QJsonObject &o, const char *key, int missing = 0)
{
    return o.value(QLatin1String(key)).toInt(missing);
}

bool flag(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toBool();
}

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

} // namespace

QString percentDecoded(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('%') && i + 2 < text.size()) {
            const int hi = hexDigit(text.at(i + 1));
            const int lo = hexDigit(text.at(i + 2));
            if (hi >= 0 && lo >= 0) {
                bytes.append(char(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        // Each character stands for one byte of the line (it was read as Latin-1).
        bytes.append(char(c.unicode() & 0xff));
    }
    return QString::fromUtf8(bytes);
}

Request parseRequest(const QString &line)
{
    QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!words.isEmpty() && words.first() == QLatin1String("ask"))
        words.removeFirst();
    if (!words.isEmpty() && words.first().startsWith(QLatin1String("n=")))
        words.removeFirst();
    Request r;
    if (words.isEmpty())
        return r;
    r.verb = words.takeFirst();
    for (const QString &word : std::as_const(words)) {
        const qsizetype eq = word.indexOf(QLatin1Char('='));
        if (eq < 1)
            continue;
        r.args.insert(word.left(eq), percentDecoded(word.mid(eq + 1)));
    }
    return r;
}

QString requestLogLine(const QString &line)
{
    const QString cut = line.left(200);
    return QStringLiteral("bridge: %1")
        .arg(cut.startsWith(QLatin1String("ask ")) ? cut : QStringLiteral("ask ") + cut);
}

QString unknownVerbText(const QString &verb)
{
    return tr("The launcher does not know what \"%1\" asks for: update Orvex Rovivi.").arg(verb.left(30));
}

int compareVersions(const QString &a, const QString &b)
{
    const QStringList pa = a.split(QLatin1Char('.'));
    const QStringList pb = b.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < qMax(pa.size(), pb.size()); ++i) {
        // A piece that is not a decimal number counts as 0, as does a missing one.
        const qlonglong x = pa.value(i).toLongLong();
        const qlonglong y = pb.value(i).toLongLong();
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

QJsonObject ownMember(const QJsonObject &lobby, const QString &me)
{
    for (const QJsonValue &v : lobby.value(QLatin1String("members")).toArray()) {
        const QJsonObject m = v.toObject();
        if (!me.isEmpty() && str(m, "name") == me)
            return m;
    }
    return {};
}

QString otherPlayer(const QJsonObject &lobby, const QString &me)
{
    for (const QJsonValue &v : lobby.value(QLatin1String("members")).toArray()) {
        const QJsonObject m = v.toObject();
        if (!flag(m, "spectator") && str(m, "name") != me)
            return str(m, "name");
    }
    return {};
}

int winsOf(const QJsonObject &lobby, const QString &name, const QHash<QString, int> &winsByName)
{
    for (const QJsonValue &v : lobby.value(QLatin1String("members")).toArray()) {
        const QJsonObject m = v.toObject();
        if (str(m, "name") == name && m.contains(QLatin1String("wins")))
            return num(m, "wins");
    }
    return winsByName.value(name, 0);
}

VersionCheck checkVersions(const QJsonObject &lobby, const QString &me, const QString &myVersion,
                           const QString &myBuild)
{
    const bool meSpectator = flag(ownMember(lobby, me), "spectator");
    QStringList lines;
    bool blocks = false;
    for (const QJsonValue &v : lobby.value(QLatin1String("members")).toArray()) {
        const QJsonObject m = v.toObject();
        const QString name = str(m, "name");
        const QString version = str(m, "version");
        if (name == me || version.isEmpty())
            continue;
        const bool mSpec = flag(m, "spectator");
        // A player minds the spectators waiting in the line (they play next), not the others; a
        // spectator minds the players only.
        if (!meSpectator && mSpec && num(m, "line") <= 0)
            continue;
        if (meSpectator && mSpec)
            continue;
        if (version == myVersion) {
            const QString build = str(m, "build");
            if (!build.isEmpty() && !myBuild.isEmpty() && build != myBuild)
                lines << tr("%1 has another build of Orvex Rovivi %2 than yours: your matches may go out of "
                            "step.")
                             .arg(name, version);
            continue;
        }
        if (compareVersions(version, myVersion) > 0)
            lines << tr("%1 has Orvex Rovivi %2 and you have %3: your games cannot play each other. Update "
                        "Orvex Rovivi (close the game, then update on its Play page).")
                         .arg(name, version, myVersion);
        else
            lines << tr("%1 has Orvex Rovivi %2 and you have %3: your games cannot play each other. %1 must "
                        "update.")
                         .arg(name, version, myVersion);
        blocks = blocks || (!mSpec && !meSpectator);
    }
    return {lines.join(QLatin1Char(' ')), blocks};
}

QJsonObject lobbyRow(const QJsonObject &e)
{
    return {{QStringLiteral("code"), str(e, "id")},
            {QStringLiteral("name"), str(e, "name")},
            {QStringLiteral("host"), str(e, "host")},
            {QStringLiteral("players"), num(e, "players")},
            {QStringLiteral("max"), num(e, "max_players", 2)},
            {QStringLiteral("mode"), str(e, "mode")},
            {QStringLiteral("koth"), flag(e, "koth")},
            {QStringLiteral("locked"), flag(e, "locked")},
            {QStringLiteral("region"), str(e, "region")}};
}

QJsonObject leaderboardRow(const QJsonObject &r)
{
    return {{QStringLiteral("place"), num(r, "rank")}, {QStringLiteral("name"), str(r, "name")},
            {QStringLiteral("rank"), str(r, "title")}, {QStringLiteral("elo"), num(r, "elo")},
            {QStringLiteral("wins"), num(r, "wins")},  {QStringLiteral("losses"), num(r, "losses")}};
}

QString searchingText(bool ranked, int seconds, int widenedLimit)
{
    QString text = tr("Searching for a %1 match: %2:%3.")
                       .arg(ranked ? tr("ranked") : tr("casual"))
                       .arg(seconds / 60)
                       .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (widenedLimit != 0)
        text +=
            QLatin1Char(' ') + tr("The ping limit is raised to %1 ms to find you someone.").arg(widenedLimit);
    return text;
}

QString foundText(const QString &opponent, int left)
{
    if (opponent.isEmpty())
        return tr("Match found: accept within %1 seconds.").arg(left);
    return tr("Match found against %1: accept within %2 seconds.").arg(opponent).arg(left);
}

int acceptLeft(int acceptSeconds, qint64 elapsedMs)
{
    return int(qMax<qint64>(0, acceptSeconds - elapsedMs / 1000));
}

int startsInSeconds(double startsIn)
{
    // A server's figure past a day is cut there: past what an int holds the conversion is undefined.
    return int(std::trunc(std::min(startsIn, 86400.0) + 0.999));
}

QString lobbyText(const LobbyFacts &f)
{
    const QJsonObject &lobby = f.lobby;
    const QJsonObject own = ownMember(lobby, f.me);
    const bool spectator = flag(own, "spectator");
    const QString other = otherPlayer(lobby, f.me);
    const bool host = !f.me.isEmpty() && str(lobby, "host") == f.me;
    QStringList sentences;
    if (!f.versionWarning.isEmpty())
        sentences << f.versionWarning;
    if (!f.password.isEmpty() && host)
        sentences << tr("Private lobby: your friend joins with the code %1 and the password %2.")
                         .arg(str(lobby, "id"), f.password);
    const double startsIn = lobby.value(QLatin1String("starts_in")).toDouble(-1);
    const int line = num(own, "line");
    if (str(lobby, "state") == QLatin1String("in_match"))
        sentences << (spectator ? tr("A match is on: it plays in your game.") : tr("Match in progress."));
    else if (startsIn >= 0)
        sentences
            << tr("Both players are ready: the match starts in %1 seconds.").arg(startsInSeconds(startsIn));
    else if (spectator && line == 1)
        sentences << tr("You are next in line.");
    else if (spectator && line >= 2)
        sentences << tr("You are number %1 in line.").arg(line);
    else if (spectator)
        sentences << tr("You are watching: each match plays in your game.");
    else if (other.isEmpty())
        sentences << tr("Waiting for an opponent: share the code %1.").arg(str(lobby, "id"));
    else if (flag(lobby, "koth") && !f.me.isEmpty() && str(lobby, "king") == f.me)
        sentences << tr("You are the king: get ready to face %1.").arg(other);
    else if (flag(own, "ready"))
        sentences << tr("You are ready. Waiting for %1.").arg(other);
    else
        sentences << tr("%1 is here: get ready, and the match starts once you both are.").arg(other);
    return sentences.join(QLatin1Char(' '));
}

QJsonObject emptySeries()
{
    return {{QStringLiteral("kind"), QString()}, {QStringLiteral("opponent"), QString()},
            {QStringLiteral("mine"), 0},         {QStringLiteral("theirs"), 0},
            {QStringLiteral("to"), 0},           {QStringLiteral("state"), QString()},
            {QStringLiteral("text"), QString()}};
}

QString seriesRunningText(const QJsonObject &s, const QString &me)
{
    const bool ranked = flag(s, "ranked");
    const QString opponent = str(s, "opponent");
    const QString score = tr("You %1, %2 %3.").arg(num(s, "you")).arg(opponent).arg(num(s, "them"));
    const QString state = str(s, "state");
    if (state == QLatin1String("between") && ranked) {
        const QString keeps = str(s, "keeps");
        QString keep;
        if (!keeps.isEmpty() && keeps == me)
            keep = tr("You keep your character, %1 picks again.").arg(opponent);
        else if (!keeps.isEmpty())
            keep = tr("%1 keeps their character, you pick yours again.").arg(opponent);
        return tr("%1 %2 The next match of the set starts once both games are ready. Leaving the set now "
                  "counts as losing it.")
            .arg(score, keep)
            .simplified();
    }
    if (state == QLatin1String("between")) {
        const int left = num(s, "seconds_left");
        if (flag(s, "you_ready"))
            return tr("%1 Waiting for %2 (%3 seconds).").arg(score, opponent).arg(left);
        if (flag(s, "them_ready"))
            return tr("%1 %2 wants to play again (%3 seconds).").arg(score, opponent).arg(left);
        return tr("%1 Rematch, character select, or leave? (%2 seconds)").arg(score).arg(left);
    }
    if (ranked)
        return tr("Ranked set against %1, first to %2. %3").arg(opponent).arg(num(s, "need")).arg(score);
    return tr("Casual against %1. %2").arg(opponent, score);
}

QString seriesEndText(const QJsonObject &s, const QString &me)
{
    const QString opponent = str(s, "opponent");
    const QString outcome = str(s, "outcome");
    const QString score = QStringLiteral("%1-%2").arg(num(s, "you")).arg(num(s, "them"));
    const bool iLeft = !me.isEmpty() && str(s, "left") == me;
    QString text;
    if (flag(s, "ranked")) {
        if (outcome == QLatin1String("won"))
            text = str(s, "winner") == me && !me.isEmpty()
                       ? tr("You won the set against %1, %2!").arg(opponent, score)
                       : tr("%1 won the set, %2.").arg(opponent, score);
        else if (outcome == QLatin1String("forfeit"))
            text = iLeft ? tr("You left the set against %1 at %2: it counts as a loss.").arg(opponent, score)
                         : tr("%1 left the set at %2: you win it.").arg(opponent, score);
        else
            text = tr("The set against %1 ended without a result (%2): no Elo change.").arg(opponent, score);
    } else {
        if (outcome == QLatin1String("left"))
            text = iLeft ? tr("You left the series against %1 (%2).").arg(opponent, score)
                         : tr("%1 left the series (%2).").arg(opponent, score);
        else if (outcome == QLatin1String("disconnected"))
            text = tr("The connection to %1 was lost: the series is over (%2).").arg(opponent, score);
        else
            text = tr("No rematch with %1 (%2).").arg(opponent, score);
    }
    const QJsonObject elo = s.value(QLatin1String("elo")).toObject().value(me).toObject();
    if (!elo.isEmpty()) {
        const int delta = num(elo, "delta");
        text += QLatin1Char(' ') + tr("Elo %1 to %2 (%3%4).")
                                       .arg(num(elo, "before"))
                                       .arg(num(elo, "after"))
                                       .arg(delta >= 0 ? QStringLiteral("+") : QString())
                                       .arg(delta);
        const QString after = str(elo, "title_after");
        if (!after.isEmpty() && after != str(elo, "title_before"))
            text += QLatin1Char(' ') +
                    (delta >= 1 ? tr("Ranked up to %1!").arg(after) : tr("Ranked down to %1.").arg(after));
    }
    return text;
}

QJsonObject seriesSection(const QJsonObject &s, const QString &me)
{
    const bool ranked = flag(s, "ranked");
    const QString state = str(s, "state");
    QString shown;
    if (state == QLatin1String("over"))
        shown = QStringLiteral("over");
    else if (state == QLatin1String("between"))
        shown = flag(s, "you_ready") ? QStringLiteral("waiting") : QStringLiteral("choosing");
    return {{QStringLiteral("kind"), ranked ? QStringLiteral("ranked") : QStringLiteral("casual")},
            {QStringLiteral("opponent"), str(s, "opponent")},
            {QStringLiteral("mine"), num(s, "you")},
            {QStringLiteral("theirs"), num(s, "them")},
            {QStringLiteral("to"), ranked ? num(s, "need") : 0},
            {QStringLiteral("state"), shown},
            {QStringLiteral("text"),
             shown == QLatin1String("over") ? seriesEndText(s, me) : seriesRunningText(s, me)}};
}

QJsonObject lobbyTally(const QString &other, int mine, int theirs, bool choosing)
{
    const QString score = tr("You %1, %2 %3.").arg(mine).arg(other).arg(theirs);
    return {{QStringLiteral("kind"), QStringLiteral("lobby")},
            {QStringLiteral("opponent"), other},
            {QStringLiteral("mine"), mine},
            {QStringLiteral("theirs"), theirs},
            {QStringLiteral("to"), 0},
            {QStringLiteral("state"), choosing ? QStringLiteral("choosing") : QString()},
            {QStringLiteral("text"),
             choosing ? score + QLatin1Char(' ') + tr("The loser of the last match chooses what comes next.")
                      : score}};
}

QString matchFinishedText(const QJsonObject &r)
{
    const QString opponent = str(r, "opponent");
    const QString status = str(r, "status");
    const QString score = str(r, "score");
    if (status == QLatin1String("agreed") && r.contains(QLatin1String("you_won")))
        return flag(r, "you_won") ? tr("You beat %1, %2.").arg(opponent, score)
                                  : tr("You lost to %1, %2.").arg(opponent, score);
    if (status == QLatin1String("draw"))
        return tr("A draw with %1, %2: no win or loss for either of you.").arg(opponent, score);
    if (status == QLatin1String("disputed"))
        return tr("Your two games reported different results: the match does not count.");
    if (status == QLatin1String("abandoned"))
        return num(r, "side") == num(r, "left_side") ? tr("You left the match against %1.").arg(opponent)
                                                     : tr("%1 left the match.").arg(opponent);
    return tr("The match against %1 does not count (%2).")
        .arg(opponent, QString(status).replace(QLatin1Char('_'), QLatin1Char(' ')));
}

QString cancelReasonText(const QString &reason)
{
    static const struct {
        const char *code;
        const char *text;
    } table[] = {
        {"declined", QT_TRANSLATE_NOOP("MenuBridge", "the other player declined")},
        {"accept_timeout", QT_TRANSLATE_NOOP("MenuBridge", "it was not accepted in time")},
        {"punch_failed", QT_TRANSLATE_NOOP("MenuBridge", "the two of you could not connect")},
        {"ping_too_high", QT_TRANSLATE_NOOP("MenuBridge", "the ping was above the limit")},
        {"ping_timeout", QT_TRANSLATE_NOOP("MenuBridge", "the connection test took too long")},
        {"no_udp", QT_TRANSLATE_NOOP("MenuBridge", "the server got nothing from your game port")},
        {"peer_left", QT_TRANSLATE_NOOP("MenuBridge", "the other player left")},
    };
    for (const auto &row : table)
        if (reason == QLatin1String(row.code))
            return tr(row.text);
    return reason;
}

QString cancelledText(const QString &reason, bool requeued)
{
    const QString why = cancelReasonText(reason);
    return requeued ? tr("The match was called off (%1): you are searching again.").arg(why)
                    : tr("The match was called off (%1).").arg(why);
}

} // namespace bridgerules

namespace bridgerules {

bool isTrue(const QString &value)
{
    return value == QLatin1String("1") || value == QLatin1String("true");
}

int searchDelay(bool ranked, int inputDelay)
{
    if (inputDelay < 0)
        return -1;
    return ranked ? qMax(inputDelay, 1) : qMax(inputDelay, 0);
}

int lobbyRounds(const QString &value)
{
    bool ok = false;
    const int n = value.toInt(&ok, 10);
    return ok && (n == 1 || n == 3 || n == 5) ? n : 5;
}

QString lobbyName(const QString &value)
{
    return value.simplified().left(32);
}

QString lobbyCode(const QString &value)
{
    return value.trimmed().toUpper();
}

} // namespace bridgerules
