#pragma once
// Password hashing (PBKDF2, deliberately slow) on a few worker threads, so a burst of sign-ins does
// not stall every other client's messages on the server's one event loop. Results come back on the
// thread that owns the pool, in the order each hash finishes.

#include <QObject>
#include <QThreadPool>
#include <functional>

class KdfPool : public QObject {
    Q_OBJECT
public:
    // threads 0: every hash runs on the owner's thread at once, as before there were workers.
    explicit KdfPool(int threads, QObject *parent = nullptr);
    // Waits for the hashes under way; their results are not delivered.
    ~KdfPool() override;

    static QByteArray hash(const QString &password, const QByteArray &salt, int iterations);
    void derive(const QString &password, const QByteArray &salt, int iterations,
                std::function<void(const QByteArray &hash)> done);
    int inFlight() const { return m_inFlight; }

private:
    QThreadPool m_pool;
    int m_inFlight = 0;
    bool m_inline = false; // no workers: hashed on the owner's thread (the reference to compare with)
};
