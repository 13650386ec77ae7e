#pragma once
#include <QLockFile>
#include <QString>
#include <memory>

// One launcher per settings file: a lock file beside it ("<settings>.instance"). The lock has no
// age limit; one left by a process that no longer runs is taken over.
class InstanceGuard {
public:
    enum class Outcome {
        Taken,             // this launcher holds the lock until it ends
        HeldElsewhere,     // another live launcher holds it
        FolderNotWritable, // the lock file cannot be created in the settings folder
        Failed,            // any other reason the lock file could not be made
    };

    explicit InstanceGuard(const QString &settingsPath);
    // Tries for `waitMs` (200 normally, 30000 when started by an update).
    Outcome acquire(int waitMs);
    QString lockPath() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};
