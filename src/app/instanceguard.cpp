#include "instanceguard.h"

InstanceGuard::InstanceGuard(const QString &settingsPath)
    : m_path(settingsPath + QStringLiteral(".instance")), m_lock(std::make_unique<QLockFile>(m_path))
{
    m_lock->setStaleLockTime(0);
}

InstanceGuard::Outcome InstanceGuard::acquire(int waitMs)
{
    if (m_lock->tryLock(waitMs))
        return Outcome::Taken;
    // Only a lock that stayed held for the whole wait means another launcher; a lock file that
    // cannot be made at all says nothing about other launchers.
    switch (m_lock->error()) {
    case QLockFile::LockFailedError:
        return Outcome::HeldElsewhere;
    case QLockFile::PermissionError:
        return Outcome::FolderNotWritable;
    case QLockFile::NoError:
    case QLockFile::UnknownError:
        break;
    }
    return Outcome::Failed;
}
