#include "build/workerthread.h"

#include <QPointer>

QThread *runOnWorkerThread(QObject *context, std::function<void()> work, std::function<void()> done)
{
    QThread *thread = QThread::create(std::move(work));
    // Queued to the context's thread: QThread::finished is emitted from the worker thread itself.
    QObject::connect(
        thread, &QThread::finished, context,
        [thread, done = std::move(done)] {
            thread->wait();
            thread->deleteLater();
            done();
        },
        Qt::QueuedConnection);
    // Without the context the result has nowhere to go, but the thread must still be freed.
    QObject::connect(context, &QObject::destroyed, thread, [thread] {
        thread->wait();
        delete thread;
    });
    thread->start();
    return thread;
}
