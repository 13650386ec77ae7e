#pragma once

#include <QHash>
#include <QList>
#include <QString>

// Counts events per key inside a sliding window: wrong passwords per address, per account name from
// one address and per account name from everywhere, new accounts per address, and successful
// sign-ins per address (each costs a slow password hash too, so they are bounded like the failed
// ones, if more generously: a household shares one). A name is locked for one address after a few
// wrong passwords from there, so a stranger cannot lock its owner out from elsewhere; only many
// addresses together lock it everywhere, which bounds guessing spread over addresses.
class Throttle {
public:
    static constexpr int MaxFailures = 5;           // one name from one address
    static constexpr int MaxAddressFailures = 20;   // any names from one address
    static constexpr int MaxNameFailures = 30;      // one name from all addresses
    static constexpr qint64 FailureWindowMs = 10 * 60 * 1000;
    static constexpr int MaxSignUps = 10;
    static constexpr qint64 SignUpWindowMs = 60 * 60 * 1000;
    static constexpr int MaxSignIns = 30;
    static constexpr qint64 SignInWindowMs = 10 * 60 * 1000;

    void setEnabled(bool on) { m_enabled = on; }
    bool loginBlocked(const QString &address, const QString &name, qint64 now);
    void loginFailed(const QString &address, const QString &name, qint64 now);
    // The right password: the name's counts start again, for this address and everywhere.
    void clearFailures(const QString &address, const QString &name);
    void loginSucceeded(const QString &address, const QString &name, qint64 now);
    bool signInsBlocked(const QString &address, qint64 now);
    bool signUpBlocked(const QString &address, qint64 now);
    void signedUp(const QString &address, qint64 now);
    // Forgets every key whose window ran out.
    void sweep(qint64 now);
    qsizetype keys() const { return m_failures.size() + m_signUps.size() + m_signIns.size(); }

private:
    static int count(QList<qint64> &events, qint64 now, qint64 window);
    static int countIn(QHash<QString, QList<qint64>> &table, const QString &key, qint64 now, qint64 window);
    bool m_enabled = true;
    QHash<QString, QList<qint64>> m_failures; // "a:<address>", "n:<name>", "p:<address>/<name>"
    QHash<QString, QList<qint64>> m_signUps;
    QHash<QString, QList<qint64>> m_signIns;
};
