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
    if (m_inline) {
        // Hashed here and now, holding up everything else; the answer still comes later, as it
        // does from a worker.
        const QByteArray h = hash(password, salt, iterations);
        QMetaObject::invokeMethod(
            this,
            [this, h, done] {
                --m_inFlight;
                done(h);
            },
            Qt::QueuedConnection);
        return;
    }
    m_pool.start([this, password, salt, iterations, done = std::move(done)] {
        const QByteArray h = hash(password, salt, iterations);
        // Posted to the pool's own thread; dropped with the pool if it is gone by then.
        QMetaObject::invokeMethod(
            this,
            [this, h, done] {
                --m_inFlight;
                done(h);
            },
            Qt::QueuedConnection);
    });
}
