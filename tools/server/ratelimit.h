#pragma once
// How often one connection may send each kind of request: a bucket per family that holds `burst`
// requests and refills `perSecond` a second. The figures leave a launcher far below them (it pings
// every 30 s and sends a handful of requests per action) while a flooding client is held to a
// trickle. The spectator feed and the tunnel have byte caps of their own and are not counted here.

#include <QHash>
#include <QHostAddress>
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

// The key per-address limits count by: an IPv4 address (also one mapped into IPv6) as itself, an
// IPv6 address by its /64, which one subscriber usually holds whole.
QString addressKey(const QHostAddress &address);

// A token bucket per key (new connections per address): `burst` at once, refilling `perSecond`.
// Keys whose bucket is full again are forgotten, so the table holds only recent senders.
class KeyedBucket {
public:
    KeyedBucket(double burst, double perSecond) : m_burst(burst), m_perSecond(perSecond) {}
    bool take(const QString &key, qint64 nowMs);
    void sweep(qint64 nowMs);
    qsizetype keys() const { return m_buckets.size(); }

private:
    struct Bucket {
        double tokens = 0;
        qint64 atMs = 0;
    };
    double m_burst, m_perSecond;
    QHash<QString, Bucket> m_buckets;
};
