#pragma once
// How often one connection may send each kind of request: a bucket per family that holds `burst`
// requests and refills `perSecond` a second. The figures leave a launcher far below them (it pings
// every 30 s and sends a handful of requests per action) while a flooding client is held to a
// trickle. The spectator feed and the tunnel have byte caps of their own and are not counted here.

#include <QHash>
#include <QString>

struct RateRule {
    const char *family; // what the "slow_down" message names
    double burst;
    double perSecond;
};

// The family of a request type; nullptr for types not limited here.
const RateRule *rateRuleFor(const QString &type);

class RateLimiter {
public:
    // True when one more request of that rule may go now (and takes it).
    bool take(const RateRule &rule, qint64 nowMs);

private:
    struct Bucket {
        double tokens = -1; // -1: not used yet, full
        qint64 atMs = 0;
    };
    QHash<const RateRule *, Bucket> m_buckets;
};
