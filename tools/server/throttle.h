#pragma once

#include <QHash>
#include <QList>
#include <QString>

// Counts events per key inside a sliding window: wrong passwords per address and per account name,
// new accounts per address, and successful sign-ins per address (each costs a slow password hash
// too, so they are bounded like the failed ones, if more generously: a household shares one).
class Throttle {
public:
    static constexpr int MaxFailures = 5;
    static constexpr qint64 FailureWindowMs = 10 * 60 * 1000;
    static constexpr int MaxSignUps = 10;
    static constexpr qint64 SignUpWindowMs = 60 * 60 * 1000;
    static constexpr int MaxSignIns = 30;
    static constexpr qint64 SignInWindowMs = 10 * 60 * 1000;

    void setEnabled(bool on) { m_enabled = on; }
    bool loginBlocked(const QString &address, const QString &name, qint64 now);
    void loginFailed(const QString &address, const QString &name, qint64 now);
    void loginSucceeded(const QString &name);
    void loginSucceeded(const QString &address, const QString &name, qint64 now);
    bool signInsBlocked(const QString &address, qint64 now);
    bool signUpBlocked(const QString &address, qint64 now);
    void signedUp(const QString &address, qint64 now);
    // Forgets every key whose window ran out.
    void sweep(qint64 now);
    qsizetype keys() const { return m_failures.size() + m_signUps.size() + m_signIns.size(); }

private:
    static int count(QList<qint64> &events, qint64 now, qint64 window);
    bool m_enabled = true;
    QHash<QString, QList<qint64>> m_failures; // "a:<address>" and "n:<name>"
    QHash<QString, QList<qint64>> m_signUps;
    QHash<QString, QList<qint64>> m_signIns;
};
