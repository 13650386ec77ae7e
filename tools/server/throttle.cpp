#include "throttle.h"

namespace {
// Names past 16 characters are never accounts; cutting them keeps a key small whatever was sent.
QString nameKey(const QString &name) { return "n:" + name.left(32).toLower(); }
QString pairKey(const QString &address, const QString &name)
{
    return "p:" + address + '/' + name.left(32).toLower();
}
} // namespace

int Throttle::count(QList<qint64> &events, qint64 now, qint64 window)
{
    while (!events.isEmpty() && now - events.first() > window)
        events.removeFirst();
    return int(events.size());
}

int Throttle::countIn(QHash<QString, QList<qint64>> &table, const QString &key, qint64 now, qint64 window)
{
    // Looked up without adding the key: asking must not grow the table.
    const auto it = table.find(key);
    return it == table.end() ? 0 : count(*it, now, window);
}

bool Throttle::loginBlocked(const QString &address, const QString &name, qint64 now)
{
    if (!m_enabled)
        return false;
    auto failures = [&](const QString &key) { return countIn(m_failures, key, now, FailureWindowMs); };
    return failures("a:" + address) >= MaxAddressFailures || failures(pairKey(address, name)) >= MaxFailures;
}

qint64 Throttle::nameCheckWait(const QString &name, qint64 now)
{
    if (!m_enabled || countIn(m_failures, nameKey(name), now, FailureWindowMs) < NameSlowAfter)
        return 0;
    const QString key = nameKey(name);
    const qint64 turn = qMax(now, m_nameTurn.value(key, now));
    m_nameTurn.insert(key, turn + NameCheckEveryMs);
    return turn - now;
}

void Throttle::loginFailed(const QString &address, const QString &name, qint64 now)
{
    if (!m_enabled)
        return;
    // Many made-up names must not grow the table without end: forget the windows that ran out.
    if (m_failures.size() > 10000) {
        for (auto it = m_failures.begin(); it != m_failures.end();)
            it = count(*it, now, FailureWindowMs) == 0 ? m_failures.erase(it) : std::next(it);
    }
    m_failures["a:" + address].append(now);
    m_failures[pairKey(address, name)].append(now);
    m_failures[nameKey(name)].append(now);
}

void Throttle::clearFailures(const QString &address, const QString &name)
{
    m_failures.remove(pairKey(address, name));
    m_failures.remove(nameKey(name));
    m_nameTurn.remove(nameKey(name));
}

void Throttle::loginSucceeded(const QString &address, const QString &name, qint64 now)
{
    clearFailures(address, name);
    if (!m_enabled)
        return;
    if (m_signIns.size() > 10000) {
        for (auto it = m_signIns.begin(); it != m_signIns.end();)
            it = count(*it, now, SignInWindowMs) == 0 ? m_signIns.erase(it) : std::next(it);
    }
    m_signIns[address].append(now);
}

bool Throttle::signInsBlocked(const QString &address, qint64 now)
{
    return m_enabled && countIn(m_signIns, address, now, SignInWindowMs) >= MaxSignIns;
}

bool Throttle::signUpBlocked(const QString &address, qint64 now)
{
    return m_enabled && countIn(m_signUps, address, now, SignUpWindowMs) >= MaxSignUps;
}

void Throttle::signedUp(const QString &address, qint64 now)
{
    if (m_enabled)
        m_signUps[address].append(now);
}

void Throttle::sweep(qint64 now)
{
    auto prune = [&](QHash<QString, QList<qint64>> &table, qint64 window) {
        for (auto it = table.begin(); it != table.end();)
            it = count(*it, now, window) == 0 ? table.erase(it) : std::next(it);
    };
    prune(m_failures, FailureWindowMs);
    prune(m_signUps, SignUpWindowMs);
    prune(m_signIns, SignInWindowMs);
    m_nameTurn.removeIf([now](const auto &it) { return it.value() <= now; });
}
