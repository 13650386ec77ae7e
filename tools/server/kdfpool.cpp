#include "kdfpool.h"

#include <QPasswordDigestor>

namespace {
constexpr int HashBytes = 32;
}

KdfPool::KdfPool(int threads, QObject *parent) : QObject(parent), m_inline(threads <= 0)
{
    m_pool.setMaxThreadCount(qMax(1, threads));
}

KdfPool::~KdfPool()
{
    m_pool.clear();
    m_pool.waitForDone();
}

QByteArray KdfPool::hash(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, iterations,
                                              HashBytes);
}

void KdfPool::derive(const QString &password, const QByteArray &salt, int iterations,
                     std::function<void(const QByteArray &hash)> done)
{
    ++m_inFlight;
    // The answer is always posted to the serving thread, so it comes later whoever hashed; from a
    // worker it is dropped with the pool if that is gone by then.
    auto work = [this, password, salt, iterations, done = std::move(done)] {
        const QByteArray h = hash(password, salt, iterations);
        QMetaObject::invokeMethod(
            this,
            [this, h, done] {
                --m_inFlight;
                done(h);
            },
            Qt::QueuedConnection);
    };
    if (m_inline)
        work(); // hashed here and now, holding up everything else
    else
        m_pool.start(std::move(work));
}
