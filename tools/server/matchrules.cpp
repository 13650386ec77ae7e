#include "matchrules.h"

#include <QJsonArray>

namespace {

bool isWhole(const QJsonValue &v, int low, int high)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    return d == double(qint64(d)) && d >= low && d <= high;
}

bool sameScore(const QJsonObject &a, const QJsonObject &b)
{
    return a.value("winner") == b.value("winner") && a.value("p1_rounds") == b.value("p1_rounds") &&
           a.value("p2_rounds") == b.value("p2_rounds");
}

} // namespace

QString statusName(MatchStatus status)
{
    switch (status) {
    case MatchStatus::Agreed:
        return QStringLiteral("agreed");
    case MatchStatus::Draw:
        return QStringLiteral("draw");
    case MatchStatus::Disputed:
        return QStringLiteral("disputed");
    case MatchStatus::Desync:
        return QStringLiteral("desync");
    case MatchStatus::Error:
        return QStringLiteral("error");
    case MatchStatus::Sparring:
        return QStringLiteral("sparring");
    case MatchStatus::Disconnected:
        return QStringLiteral("disconnected");
    case MatchStatus::Abandoned:
        return QStringLiteral("abandoned");
    case MatchStatus::Unconfirmed:
        break;
    }
    return QStringLiteral("unconfirmed");
}

namespace matchrules {

int clampRtt(const QJsonValue &v, int fallback)
{
    if (!v.isDouble())
        return fallback;
    const double d = v.toDouble();
    return d >= MaxRttMs ? MaxRttMs : d > 0 ? int(d) : 0; // NaN never comes from JSON
}

QJsonObject cleanResult(const QJsonObject &msg, QString *error)
{
    QJsonObject r;
    if (msg.contains("winner")) {
        if (!isWhole(msg.value("winner"), 0, 2)) {
            *error = QStringLiteral("\"winner\" is 0 for a draw, or side 1 or 2.");
            return {};
        }
        for (const char *k : {"p1_rounds", "p2_rounds"}) {
            if (msg.contains(k) && !isWhole(msg.value(k), 0, 99)) {
                *error = QStringLiteral("\"%1\" is a number of rounds from 0 to 99.").arg(QLatin1String(k));
                return {};
            }
        }
        r.insert("winner", msg.value("winner").toInt());
        r.insert("p1_rounds", msg.value("p1_rounds").toInt());
        r.insert("p2_rounds", msg.value("p2_rounds").toInt());
    } else {
        static const QStringList outcomes = {"left", "error", "sparring", "desync", "disconnected"};
        const QJsonValue outcome = msg.value("outcome");
        if (!outcome.isString() || !outcomes.contains(outcome.toString())) {
            *error = QStringLiteral("A result has a \"winner\", or an \"outcome\" of left, error, sparring, "
                                    "desync or disconnected.");
            return {};
        }
        r.insert("outcome", outcome.toString());
    }
    for (const char *k : {"p1_char", "p2_char", "exit"}) {
        if (msg.value(k).isString())
            r.insert(k, msg.value(k).toString().left(k[0] == 'e' ? 200 : 64));
    }
    for (const char *k : {"exit_code", "frame"}) {
        if (msg.value(k).isDouble())
            r.insert(k, msg.value(k).toInteger());
    }
    QJsonArray lines;
    for (const QJsonValue &v : msg.value("lines").toArray()) {
        if (lines.size() < 40)
            lines.append(v.toString().left(200));
    }
    if (!lines.isEmpty())
        r.insert("lines", lines);
    return r;
}

MatchVerdict decide(const QJsonObject *r[2], const bool offline[2])
{
    MatchVerdict v;
    auto outcome = [&](int i) { return r[i] ? r[i]->value("outcome").toString() : QString(); };
    for (int i = 0; i < 2 && !v.leftSide; ++i) {
        if (outcome(i) == QLatin1String("left"))
            v.leftSide = i + 1;
    }
    for (int i = 0; i < 2 && !v.leftSide; ++i) {
        if (!r[i] && offline[i])
            v.leftSide = i + 1;
    }
    if (v.leftSide) {
        v.status = MatchStatus::Abandoned;
        v.winner = 3 - v.leftSide;
        return v;
    }
    if (!r[0] || !r[1]) {
        v.status = MatchStatus::Unconfirmed;
        return v;
    }
    if (outcome(0) == QLatin1String("desync") || outcome(1) == QLatin1String("desync")) {
        v.status = MatchStatus::Desync;
        return v;
    }
    if (r[0]->contains("winner") && r[1]->contains("winner")) {
        if (!sameScore(*r[0], *r[1])) {
            v.status = MatchStatus::Disputed;
            return v;
        }
        v.winner = r[0]->value("winner").toInt();
        v.status = v.winner == 0 ? MatchStatus::Draw : MatchStatus::Agreed;
        v.chars[0] = r[0]->value("p1_char").toString();
        v.chars[1] = r[0]->value("p2_char").toString();
        return v;
    }
    if (outcome(0) == QLatin1String("error") || outcome(1) == QLatin1String("error")) {
        v.status = MatchStatus::Error;
        return v;
    }
    // What is left: a "sparring" or "disconnected" from one side at least.
    const QString said = !outcome(0).isEmpty() ? outcome(0) : outcome(1);
    v.status = said == QLatin1String("sparring") ? MatchStatus::Sparring : MatchStatus::Disconnected;
    return v;
}

} // namespace matchrules
