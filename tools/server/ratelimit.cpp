#include "ratelimit.h"

#include <QLatin1StringView>
#include <algorithm>

namespace {

const RateRule Pings{"pings", 20, 5};
const RateRule SignIns{"sign-ins", 10, 1};
const RateRule Lookups{"look-ups", 20, 4}; // profile, leaderboard, online, lobby list
const RateRule Reports{"reports", 5, 0.2}; // crash, desync and pick-refused reports
// F3 parts: the launcher sends 20 a second, which a busy server may read in bursts of many seconds
// worth; the report's byte limits bound the rest.
const RateRule ReportParts{"report parts", 400, 30};
const RateRule Requests{"requests", 30, 8}; // searching, matches, series, lobbies, the rest

} // namespace

const RateRule *rateRuleFor(const QString &type)
{
    if (type == QLatin1StringView("feed") || type == QLatin1StringView("tunnel"))
        return nullptr;
    if (type == QLatin1StringView("ping"))
        return &Pings;
    if (type == QLatin1StringView("login") || type == QLatin1StringView("register") ||
        type == QLatin1StringView("auth"))
        return &SignIns;
    if (type == QLatin1StringView("profile") || type == QLatin1StringView("leaderboard") ||
        type == QLatin1StringView("online") || type == QLatin1StringView("lobby_list"))
        return &Lookups;
    if (type == QLatin1StringView("crash_report") || type == QLatin1StringView("desync_report") ||
        type == QLatin1StringView("pick_refused"))
        return &Reports;
    if (type == QLatin1StringView("report_file") || type == QLatin1StringView("report_done"))
        return &ReportParts;
    return &Requests;
}

bool RateLimiter::take(const RateRule &rule, qint64 nowMs)
{
    Bucket &b = m_buckets[&rule];
    if (b.tokens < 0) {
        b.tokens = rule.burst;
        b.atMs = nowMs;
    }
    b.tokens = std::min(rule.burst, b.tokens + double(nowMs - b.atMs) * rule.perSecond / 1000.0);
    b.atMs = nowMs;
    if (b.tokens < 1)
        return false;
    b.tokens -= 1;
    return true;
}

QString addressKey(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 a = address.toIPv4Address(&v4);
    if (v4)
        return QHostAddress(a).toString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.toString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

bool KeyedBucket::take(const QString &key, qint64 nowMs)
{
    auto it = m_buckets.find(key);
    if (it == m_buckets.end())
        it = m_buckets.insert(key, Bucket{m_burst, nowMs});
    it->tokens = std::min(m_burst, it->tokens + double(nowMs - it->atMs) * m_perSecond / 1000.0);
    it->atMs = nowMs;
    if (it->tokens < 1)
        return false;
    it->tokens -= 1;
    return true;
}

void KeyedBucket::sweep(qint64 nowMs)
{
    m_buckets.removeIf([&](const auto &it) {
        return it.value().tokens + double(nowMs - it.value().atMs) * m_perSecond / 1000.0 >= m_burst;
    });
}
