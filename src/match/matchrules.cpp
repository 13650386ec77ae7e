#include "match/matchrules.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace matchrules {

static QString tr(const char *text)
{
    return QCoreApplication::translate("MatchController", text);
}

QString rankKey(const QString &title)
{
    const QString lower = title.trimmed().toLower();
    QString key;
    for (const QChar c : lower) {
        const ushort u = c.unicode();
        if ((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9'))
            key += c;
        else if ((u == ' ' || u == '-') && !key.isEmpty() && !key.endsWith(QLatin1Char('-')))
            key += QLatin1Char('-');
    }
    while (key.endsWith(QLatin1Char('-')))
        key.chop(1);
    return key.isEmpty() ? QStringLiteral("-") : key;
}

static QString character(const QJsonObject &go, const char *key)
{
    const QString c = go.value(QLatin1String(key)).toString();
    return c.isEmpty() ? QStringLiteral("-") : c;
}

static qint64 seedOf(const QJsonObject &go)
{
    return go.value(QStringLiteral("seed")).toInteger(0);
}

QString startLine(const QJsonObject &go, const StartExtras &extras)
{
    const QStringList items{
        QStringLiteral("start"),
        QStringLiteral("game=") + go.value(QStringLiteral("game")).toString(),
        QStringLiteral("mode=") + go.value(QStringLiteral("mode")).toString(),
        QStringLiteral("side=%1").arg(go.value(QStringLiteral("side")).toInt(0)),
        QStringLiteral("local_port=%1").arg(extras.gamePort),
        QStringLiteral("remote=") + go.value(QStringLiteral("remote")).toString(),
        QStringLiteral("delay=%1").arg(extras.delay),
        QStringLiteral("seed=%1").arg(seedOf(go)),
        QStringLiteral("p1=") + character(go, "p1"),
        QStringLiteral("p2=") + character(go, "p2"),
        QStringLiteral("rounds=%1").arg(go.value(QStringLiteral("rounds")).toInt(3)),
        QStringLiteral("ranked=%1").arg(go.value(QStringLiteral("ranked")).toBool() ? 1 : 0),
        QStringLiteral("match=") + go.value(QStringLiteral("match")).toString(),
        QStringLiteral("p1_name=") + go.value(QStringLiteral("p1_name")).toString(),
        QStringLiteral("p2_name=") + go.value(QStringLiteral("p2_name")).toString(),
        QStringLiteral("p1_rank=") + rankKey(go.value(QStringLiteral("p1_title")).toString()),
        QStringLiteral("p2_rank=") + rankKey(go.value(QStringLiteral("p2_title")).toString()),
    };
    QString line = items.join(QLatin1Char(' '));
    if (extras.choose)
        line += QStringLiteral(" choose=1");
    line += extras.seriesKeys;
    if (!extras.feedEndpoint.isEmpty())
        line += QStringLiteral(" feed=") + extras.feedEndpoint;
    return line;
}

QString watchLine(const QJsonObject &offer, const QString &feedEndpoint)
{
    return QStringList{
        QStringLiteral("start"),
        QStringLiteral("game=") + offer.value(QStringLiteral("game")).toString(),
        QStringLiteral("mode=") + offer.value(QStringLiteral("mode")).toString(),
        QStringLiteral("watch=1"),
        QStringLiteral("feed=") + feedEndpoint,
        QStringLiteral("seed=%1").arg(seedOf(offer)),
        QStringLiteral("p1=") + character(offer, "p1"),
        QStringLiteral("p2=") + character(offer, "p2"),
        QStringLiteral("rounds=%1").arg(offer.value(QStringLiteral("rounds")).toInt(3)),
        QStringLiteral("ranked=0"),
        QStringLiteral("match=") + offer.value(QStringLiteral("match")).toString(),
        QStringLiteral("p1_name=") + offer.value(QStringLiteral("p1_name")).toString(),
        QStringLiteral("p2_name=") + offer.value(QStringLiteral("p2_name")).toString(),
        QStringLiteral("p1_rank=") + rankKey(offer.value(QStringLiteral("p1_title")).toString()),
        QStringLiteral("p2_rank=") + rankKey(offer.value(QStringLiteral("p2_title")).toString()),
    }
        .join(QLatin1Char(' '));
}

QString rematchLine(const QJsonObject &go, bool choose, const QString &seriesKeys)
{
    const QString p1 = character(go, "p1");
    const QString p2 = character(go, "p2");
    QString line = QStringLiteral("rematch match=%1 seed=%2 p1=%3 p2=%4")
                       .arg(go.value(QStringLiteral("match")).toString())
                       .arg(seedOf(go))
                       .arg(p1, p2);
    const int keep = go.value(QStringLiteral("keep")).toInt(0);
    if (p1 != QLatin1String("-") && p2 != QLatin1String("-") && keep != 1 && keep != 2)
        line += QStringLiteral(" stage=keep");
    if (choose)
        line += QStringLiteral(" choose=1");
    return line + seriesKeys;
}

bool picksInGame(const QJsonObject &go)
{
    return character(go, "p1") == QLatin1String("-") || character(go, "p2") == QLatin1String("-");
}

int autoDelayFrames(int rttMs)
{
    if (rttMs <= 0)
        return 1;
    // Guard the multiplication against absurd round trips from a hostile message.
    const qint64 frames = (3 * (qint64(std::min(rttMs, 1000000)) + 33)) / 100 - 1;
    return int(std::clamp<qint64>(frames, 1, 6));
}

Delay matchDelay(const QJsonObject &go, int setting, const QString &opponent)
{
    Delay d;
    const int rtt = go.value(QStringLiteral("rtt_ms")).toInt(-1);
    const bool hasAutoField = go.contains(QStringLiteral("delay_auto"));
    d.frames = go.value(QStringLiteral("delay")).toInt(1);
    if (!hasAutoField && setting < 0)
        d.frames = std::max(d.frames, autoDelayFrames(rtt));
    const bool automatic = go.value(QStringLiteral("delay_auto")).toBool() || (!hasAutoField && setting < 0);
    if (setting >= 0 && setting == d.frames)
        d.reason = tr("your setting");
    else if (automatic && d.frames == autoDelayFrames(rtt))
        d.reason = tr("Auto for that ping");
    else
        d.reason = tr("%1's setting").arg(opponent);
    return d;
}

static bool privateOrLinkLocal(const QHostAddress &a)
{
    if (a.isLinkLocal())
        return true;
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    if (v4)
        return (ip >> 24) == 10 || (ip >> 20) == 0xAC1 || (ip >> 16) == 0xC0A8;
    return a.isUniqueLocalUnicast();
}

QString rewritePublicEndpoint(const QString &endpoint, const QHostAddress &server, bool *changed)
{
    if (changed)
        *changed = false;
    const int colon = endpoint.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return endpoint;
    QHostAddress address;
    if (!address.setAddress(endpoint.left(colon)))
        return endpoint;
    if (server.isNull() || server.isLoopback())
        return endpoint;
    const bool beside = address.isLoopback() || (privateOrLinkLocal(address) && !privateOrLinkLocal(server));
    if (!beside)
        return endpoint;
    if (changed)
        *changed = true;
    return server.toString() + endpoint.mid(colon);
}

QString connectionText(const QJsonObject &found)
{
    const QJsonObject c = found.value(QStringLiteral("connection")).toObject();
    const QString link = c.value(QStringLiteral("link")).toString();
    QStringList parts;
    if (link == QLatin1String("ethernet"))
        parts << tr("Ethernet (wired)");
    else if (link == QLatin1String("wifi"))
        parts << tr("Wi-Fi");
    else if (link == QLatin1String("other"))
        parts << tr("other connection");
    else
        parts << tr("connection type unknown");
    const int estimate = c.value(QStringLiteral("estimate")).toInt(-1);
    const int ping = c.value(QStringLiteral("ping")).toInt(-1);
    if (estimate >= 0) {
        parts << (c.value(QStringLiteral("measured")).toBool()
                      ? tr("ping %1 ms between you (measured last time)").arg(estimate)
                      : tr("ping about %1 ms between you").arg(estimate));
    } else if (ping >= 0) {
        parts << tr("their ping to the server %1 ms").arg(ping);
    }
    return parts.join(QStringLiteral("  \u00B7  "));
}

int widenedPingLimit(const QJsonObject &widen, int maxPing, double seconds)
{
    if (maxPing <= 0)
        return 0;
    const double after = widen.value(QStringLiteral("after")).toDouble(30);
    const double every = std::max(widen.value(QStringLiteral("every")).toDouble(15), 1.0);
    const int step = widen.value(QStringLiteral("step")).toInt(25);
    const int cap = widen.value(QStringLiteral("cap")).toInt(250);
    if (seconds < after)
        return 0;
    const double steps = std::floor((seconds - after) / every) + 1;
    double limit = maxPing + double(step) * steps; // double: a hostile step cannot overflow
    if (limit > cap)
        limit = cap;
    return limit > maxPing ? int(limit) : 0;
}

QString cancelReasonText(const QString &code)
{
    static const struct {
        const char *code;
        const char *text;
    } table[] = {
        {"declined", QT_TRANSLATE_NOOP("MatchController", "a player declined")},
        {"accept_timeout", QT_TRANSLATE_NOOP("MatchController", "not accepted in time")},
        {"no_udp",
         QT_TRANSLATE_NOOP("MatchController", "no UDP contact with the server, check the game port")},
        {"punch_failed", QT_TRANSLATE_NOOP("MatchController", "could not connect to the opponent")},
        {"ping_too_high", QT_TRANSLATE_NOOP("MatchController", "ping above the limit")},
        {"ping_timeout", QT_TRANSLATE_NOOP("MatchController", "connection test timed out")},
        {"peer_left", QT_TRANSLATE_NOOP("MatchController", "the opponent left")},
        {"series_over", QT_TRANSLATE_NOOP("MatchController", "the series is over")},
    };
    for (const auto &row : table)
        if (code == QLatin1String(row.code))
            return tr(row.text);
    return code;
}

StatusLine parseStatus(const QString &line)
{
    StatusLine s;
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return s;
    s.word = words.first();
    for (qsizetype i = 1; i < words.size(); ++i) {
        const qsizetype eq = words.at(i).indexOf(QLatin1Char('='));
        if (eq > 0)
            s.values.insert(words.at(i).left(eq), words.at(i).mid(eq + 1));
    }
    return s;
}

QString resultSummary(const QJsonObject &result)
{
    if (!result.contains(QStringLiteral("winner")))
        return result.value(QStringLiteral("outcome")).toString();
    const int winner = result.value(QStringLiteral("winner")).toInt();
    const int r1 = result.value(QStringLiteral("p1_rounds")).toInt();
    const int r2 = result.value(QStringLiteral("p2_rounds")).toInt();
    return winner != 0 ? tr("player %1 won %2-%3").arg(winner).arg(r1).arg(r2)
                       : tr("a draw %1-%2").arg(r1).arg(r2);
}

QJsonObject resultPayload(const QJsonObject &matchResult, const QJsonObject &go,
                          const QStringList &characters)
{
    QJsonObject result = matchResult;
    const int side = go.value(QStringLiteral("side")).toInt();
    result.insert(QStringLiteral("side"), side);
    result.insert(QStringLiteral("opponent"),
                  go.value(side == 1 ? QStringLiteral("p2_name") : QStringLiteral("p1_name")).toString());
    const int winner = matchResult.value(QStringLiteral("winner")).toInt();
    const bool draw = matchResult.value(QStringLiteral("status")).toString() == QLatin1String("draw");
    if (winner == 1 || winner == 2 || draw) {
        const int r1 = matchResult.value(QStringLiteral("p1_rounds")).toInt();
        const int r2 = matchResult.value(QStringLiteral("p2_rounds")).toInt();
        result.insert(QStringLiteral("score"), side == 2 ? QStringLiteral("%1-%2").arg(r2).arg(r1)
                                                         : QStringLiteral("%1-%2").arg(r1).arg(r2));
        if (!draw)
            result.insert(QStringLiteral("you_won"), winner == side);
    }
    if (characters.size() == 2) {
        result.insert(QStringLiteral("p1_char"), characters.at(0));
        result.insert(QStringLiteral("p2_char"), characters.at(1));
    }
    return result;
}

} // namespace matchrules
