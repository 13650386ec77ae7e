#include "instanceguard.h"

InstanceGuard::InstanceGuard(const QString &settingsPath)
    : m_path(settingsPath + QStringLiteral(".instance")), m_lock(std::make_unique<QLockFile>(m_path))
{
    m_lock->setStaleLockTime(0);
}

bool InstanceGuard::acquire(int waitMs)
{
    return m_lock->tryLock(waitMs);
}
