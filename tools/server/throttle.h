#pragma once

#include <QHash>
#include <QList>
#include <QString>

// Counts events per key inside a sliding window: wrong passwords per address, per account name from
// one address and per account name from everywhere, new accounts per address, and successful
// sign-ins per address (each costs a slow password hash too, so they are bounded like the failed
// ones, if more generously: a household shares one). A name is locked for one address after a few
// wrong passwords from there, so a stranger cannot lock its owner out from elsewhere. Many wrong
// passwords for a name from all addresses together lock it nowhere: its password checks are
// spaced out instead, which bounds guessing spread over addresses and still lets the owner in.
class Throttle {
public:
    static constexpr int MaxFailures = 5;           // one name from one address
    static constexpr int MaxAddressFailures = 20;   // any names from one address
    static constexpr int NameSlowAfter = 10;        // one name from all addresses: then spaced out
    static constexpr qint64 NameCheckEveryMs = 1000;
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
    // How long a password check of this name waits before it runs (0: at once), taking its turn:
    // past NameSlowAfter wrong passwords from everywhere, one check of the name per
    // NameCheckEveryMs.
    qint64 nameCheckWait(const QString &name, qint64 now);
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
    QHash<QString, qint64> m_nameTurn; // name key -> when its next password check may run
};
