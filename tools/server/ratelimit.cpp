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
