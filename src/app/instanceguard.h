#pragma once
#include <QLockFile>
#include <QString>
#include <memory>

// One launcher per settings file: a lock file beside it ("<settings>.instance"). The lock has no
// age limit; one left by a process that no longer runs is taken over.
class InstanceGuard {
public:
    explicit InstanceGuard(const QString &settingsPath);
    // Tries for `waitMs` (200 normally, 30000 when started by an update).
    bool acquire(int waitMs);
    QString lockPath() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};
